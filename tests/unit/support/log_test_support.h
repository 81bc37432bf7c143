// Helpers for tests that look at what the error log wrote: a fixture with a
// private temporary directory holding the error log, and readers for files,
// directories, standard output and the log buffer.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/log.h"

namespace logtest {

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

inline bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

inline std::vector<std::string> file_lines(const std::string& path) {
    return split_lines(read_file(path));
}

// The names in a directory, sorted.
inline std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Descriptors this process has open: a rotated log left open shows here.
inline size_t open_descriptors() { return list_dir("/proc/self/fd").size(); }

// Standard output of a shell command.
inline std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == NULL)
        return output;
    char piece[4096];
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, pipe)) > 0)
        output.append(piece, got);
    pclose(pipe);
    return output;
}

// The line's text after its time stamp "YYYY MM DD HH:MM:SS".
inline std::string after_stamp(const std::string& line) {
    return line.size() < 19 ? std::string() : line.substr(19);
}

// The buffered lines, newest first.
inline std::vector<std::string> buffered(LOGBUFFER* buffer) {
    std::vector<std::string> texts;
    for (LOGBUFFER_ENTRY* e = buffer->newest; e != NULL; e = e->older)
        texts.push_back(e->text);
    return texts;
}

// Redirects standard output into a file until stop().
class StdoutCapture {
public:
    explicit StdoutCapture(const std::string& path) : path_(path) {
        fflush(stdout);
        saved_ = dup(1);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        close(fd);
    }
    ~StdoutCapture() { stop(); }
    std::string stop() {
        if (saved_ != -1) {
            fflush(stdout);
            dup2(saved_, 1);
            close(saved_);
            saved_ = -1;
        }
        return read_file(path_);
    }

private:
    std::string path_;
    int saved_ = -1;
};

// A private directory with the error log "error.log" in it; every log
// setting starts at its default, and the process gets a fresh log buffer.
// The directory is kept (and named) when the test failed.
class LogDirTest : public ::testing::Test {
protected:
    std::string dir;
    std::string log_path;

    void SetUp() override {
        char pattern[] = "/tmp/kestrivan-log-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        log_path = dir + "/error.log";
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        saved_cwd_ = cwd;
        set_logfile(log_path);
        loglevel = 0x07FFFFFF;
        daemonize = 1;
        LOG_SIZE_LIMIT = 52428800;
        PROCESS_OLD_LOGS = 0;
        logfd = -1;
        logsize = 0;
        zip_list.clear();
        log_buffer = logbuffer_new(1000);
    }

    void TearDown() override {
        if (logfd != -1)
            close(logfd);
        logfd = -1;
        logfile[0] = '\0';
        zip_list.clear();
        if (chdir(saved_cwd_.c_str()) != 0)
            ADD_FAILURE() << "cannot return to " << saved_cwd_;
        if (HasFailure())
            fprintf(stderr, "kept %s\n", dir.c_str());
        else
            std::filesystem::remove_all(dir);
    }

    static void set_logfile(const std::string& path) {
        snprintf(logfile, sizeof logfile, "%s", path.c_str());
    }

private:
    std::string saved_cwd_;
};

} // namespace logtest
