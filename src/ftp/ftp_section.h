// Configuration section "ftp": the settings of the FTP client. Global fields
// only, no entries:
//   0 passive   BOOL               1 opens data connections with PASV, any
//                                  other value with PORT
//   1 timeout   INT                seconds to wait for a reply line or an
//                                  incoming data connection
//   2 user      STRING             user name sent when the URL names none
//   3 password  STRING             password sent with that user name
//   4 sortorder STRING_SELECT_ONE  default listing order: 0 ascending, any
//                                  other value descending
//   5 sortfield STRING_SELECT_ONE  default listing sort key: 0 unsorted,
//                                  1 name, 2 size, 3 date
//
// The constructor binds pointers into the global fields, so loads and web
// edits are seen without rebinding. The getters read their value under the
// section lock. `user` and `password` point at the field texts: read them
// only while holding read_lock() and copy what you need before unlock().
// The singleton `ftp_section` is made by start-up and lives for the run.
#pragma once

#include <string>

#include "config/section.h"

class FtpSection : public Section {
public:
    FtpSection();
    // Nothing to rebuild: the section has no entries.
    void update() override {}

    int passive_get() const;
    int timeout_get() const;
    int sortorder_get() const;
    int sortfield_get() const;

    const std::string* user;
    const std::string* password;

private:
    int* passive_;
    int* timeout_;
    int* sortorder_;
    int* sortfield_;
};

extern FtpSection* ftp_section;
