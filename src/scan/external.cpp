#include "scan/external.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "config/general.h"
#include "core/compat.h"
#include "core/daemon.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "core/misc.h"
#include "net/connection.h"

ExternalSection* external_section = nullptr;

ExternalSection::ExternalSection() : Section("external", SECTION_RWLOCK) {}

namespace {

void close_all(const int* descriptors, int count) {
    for (int i = 0; i < count; i++)
        if (descriptors[i] != -1)
            close(descriptors[i]);
}

// Child side: only calls that are safe between fork and exec in a
// threaded process (the argument and environment vectors were built
// before the fork). Never returns.
[[noreturn]] void exec_child(char** argv, char** environment, int input_fd, int output_fd) {
    if (dup2(input_fd, STDIN_FILENO) == -1 || dup2(output_fd, STDOUT_FILENO) == -1)
        _exit(1);
    close(input_fd);
    close(output_fd);
    if (argv[0] != NULL)
        execvpe(argv[0], argv, environment);
    _exit(1);
}

// "name=value" for every template variable of the connection.
char** environment_of(const CONNECTION_T* connection) {
    char** environment = array_add(NULL, NULL);
    if (connection == NULL)
        return environment;
    for (const auto& variable : connection->variables)
        environment = array_add(environment, (variable.first + "=" + variable.second).c_str());
    return environment;
}

// Feeds the input (when any) and collects the output until the program
// closes its standard output.
void exchange(int input_fd, int output_fd, const Filebuf* input, Filebuf* output) {
    unsigned written = 0;
    unsigned piece = BLOCKSIZE > 0 ? BLOCKSIZE : 8192;
    char* buffer = static_cast<char*>(xmalloc(piece));
    if (buffer == NULL)
        FATAL_ALLOC("src/external", piece);
    for (;;) {
        struct pollfd fds[2] = {{output_fd, POLLIN, 0}, {input_fd, POLLOUT, 0}};
        int result = p_poll(fds, input_fd != -1 ? 2 : 1, -1);
        if (result <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            ssize_t got = read(output_fd, buffer, piece);
            if (got > 0) {
                output->Add(buffer, static_cast<unsigned>(got));
                continue;
            }
            if (got == -1 && (errno == EINTR || errno == EAGAIN))
                continue;
            break;
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            break;
        if (input_fd == -1)
            continue;
        if (fds[1].revents & POLLOUT) {
            unsigned length = input->size - written < piece ? input->size - written : piece;
            ssize_t sent = write(input_fd, input->data + written, length);
            if (sent <= 0 && errno != EINTR && errno != EAGAIN) {
                close(input_fd);
                input_fd = -1;
                continue;
            }
            if (sent > 0)
                written += static_cast<unsigned>(sent);
            if (written == input->size) {
                close(input_fd);
                input_fd = -1;
            }
        } else if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            close(input_fd);
            input_fd = -1;
        }
    }
    if (input_fd != -1)
        close(input_fd);
    free(buffer);
}

} // namespace

Filebuf* external_exec(CONNECTION_T* connection, const char* command, Filebuf* input, int mode,
                       int* exit_status) {
    putlog(LOG_DEBUG, "executing %s", command);
    int output_pipe[2] = {-1, -1};
    int input_pipe[2] = {-1, -1};
    if (pipe(output_pipe) == -1 || pipe(input_pipe) == -1) {
        putlog(LOG_ERROR, "[system: pipe:%d:%s], in %s, failed to create pipes for %s", errno,
               strerror(errno), __func__, command);
        int opened[] = {output_pipe[0], output_pipe[1], input_pipe[0], input_pipe[1]};
        close_all(opened, 4);
        return NULL;
    }
    int ends[] = {output_pipe[0], output_pipe[1], input_pipe[0], input_pipe[1]};

    std::string tempfile;
    if (mode == 1) {
        tempfile = general_section->tempdir_get() + "/kestrivan.XXXXXX";
        int fd = mkstemp(&tempfile[0]);
        if (fd == -1) {
            putlog(LOG_ERROR, "[system: mkstemp:%d:%s], in %s, failed to create temporary file %s",
                   errno, strerror(errno), __func__, tempfile.c_str());
            close_all(ends, 4);
            return NULL;
        }
        if (input != NULL && input->size > 0 && input->Save(fd) == -1)
            putlog(LOG_ERROR, "[system: write:%d:%s], in %s, failed to write temporary file %s",
                   errno, strerror(errno), __func__, tempfile.c_str());
        close(fd);
    }

    char** argv = cmdline_parse(command);
    if (!tempfile.empty())
        argv = array_add(argv, tempfile.c_str());
    char** environment = environment_of(connection);
    pid_t child = fork();
    int fork_errno = errno;
    if (child == 0) {
        close(input_pipe[1]);
        close(output_pipe[0]);
        exec_child(argv, environment, input_pipe[0], output_pipe[1]);
    }
    array_free(argv);
    array_free(environment);
    if (child == -1) {
        putlog(LOG_ERROR, "[system: fork:%d:%s], in %s, failed to run %s", fork_errno,
               strerror(fork_errno), __func__, command);
        close_all(ends, 4);
        if (!tempfile.empty())
            unlink(tempfile.c_str());
        return NULL;
    }

    close(input_pipe[0]);
    close(output_pipe[1]);
    int input_fd = input_pipe[1];
    if (mode == 1 || input == NULL || input->size == 0) {
        close(input_fd);
        input_fd = -1;
    } else {
        fcntl(input_fd, F_SETFL, fcntl(input_fd, F_GETFL) | O_NONBLOCK);
    }
    fcntl(output_pipe[0], F_SETFL, fcntl(output_pipe[0], F_GETFL) | O_NONBLOCK);

    Filebuf* output = new Filebuf();
    exchange(input_fd, output_pipe[0], input, output);
    close(output_pipe[0]);

    int wait_status = 0;
    while (waitpid(child, &wait_status, 0) == -1 && errno == EINTR) {
    }
    if (exit_status != NULL)
        *exit_status = WEXITSTATUS(wait_status);
    if (!tempfile.empty())
        unlink(tempfile.c_str());
    return output;
}
