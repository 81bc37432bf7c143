// Real PAM for tests: a service file /etc/pam.d/kestrivan-test-<name> made
// the authentication service (as option -x does) while it exists, and a
// pam_userdb database built with db_load. Writing under /etc/pam.d needs
// root (as in CI); tests skip without it. Also the GLOBAL record that holds
// the password cache.
#pragma once

#include <gtest/gtest.h>

#include <pthread.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "core/daemon.h"
#include "core/global.h"

namespace pamtest {

class PamService {
public:
    PamService(const std::string& name, const std::string& lines)
        : name_("kestrivan-test-" + name), path_("/etc/pam.d/" + name_) {
        std::ofstream out(path_);
        out << lines;
        out.close();
        ok_ = out.good();
        snprintf(pamfile, sizeof pamfile, "%s", name_.c_str());
    }
    ~PamService() {
        unlink(path_.c_str());
        snprintf(pamfile, sizeof pamfile, "kestrivan");
    }
    PamService(const PamService&) = delete;
    PamService& operator=(const PamService&) = delete;
    bool ok() const { return ok_; }

private:
    std::string name_;
    std::string path_;
    bool ok_ = false;
};

inline int shell(const std::string& command) {
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Builds <dir>/users.db for pam_userdb from "user\npassword\n" pairs and
// returns the module argument "db=<dir>/users"; empty when db_load failed.
inline std::string userdb(const std::string& dir, const std::string& pairs) {
    std::string input = dir + "/users.txt";
    std::ofstream(input) << pairs;
    if (shell("db_load -T -t hash -f " + input + " " + dir + "/users.db") != 0)
        return "";
    return "db=" + dir + "/users";
}

inline bool is_root() {
    return geteuid() == 0;
}

// One process-wide record for every test (it is never destroyed in the
// daemon either); each test puts a fresh password cache table in it.
inline GLOBAL* test_global() {
    static GLOBAL* record = [] {
        auto* g = new GLOBAL();
        pthread_rwlock_init(&g->password_cache_lock, nullptr);
        return g;
    }();
    return record;
}

} // namespace pamtest
