// The FTP control-connection protocol: reply reading (single and
// multi-line replies), command building, login, the listing page's
// directory actions, the passive-mode reply and the checks that pin data
// connections to the server of the control connection.
//
// The functions work on an FtpControl, the control connection as this
// protocol needs it (a line reader and a writer): FtpSocketControl runs it
// over the proxy's Socket, and tests run it over scripted servers.
// ftp_data_open opens the data connection of one command in passive or
// active mode and hands it out as a new Socket.
//
// What is refused:
// - A command whose verb or argument holds CR, LF or NUL is never sent: such
//   bytes would end the command early and let the rest of the text pass as
//   further commands of the request's choosing (FTP command injection).
// - A passive-mode reply whose six numbers are not all decimal numbers from
//   0 to 255 gives no port. The address it names is never used: the data
//   connection goes to the address of the control connection's peer, so a
//   server cannot send the proxy to a third host.
// - A data connection accepted in active mode from another address than the
//   control connection's peer is refused by ftp_data_peer_allowed.
//
// Every command's reply is read to its end before the next command is sent
// (1xx preliminary replies are skipped), so no reply is left behind to
// answer a later command on a reused connection.
#pragma once

#include <sys/socket.h>

#include <string>

class Socket;

// The control connection as the protocol logic uses it.
class FtpControl {
public:
    virtual ~FtpControl() {}
    // Copies the next line, line feed included and NUL-terminated, into dst
    // (at most max bytes; a longer line loses its tail but is consumed
    // whole). The count copied, or 0 / -1 when no line came within `timeout`
    // seconds or the connection ended.
    virtual int GetLine(char* dst, int max, int timeout) = 0;
    // Sends all `length` bytes; -1 on failure.
    virtual int Write(const char* data, int length) = 0;
};

// The control connection over the proxy's Socket, which stays the
// caller's. Commands are flushed at once: the reply waits for them.
class FtpSocketControl : public FtpControl {
public:
    explicit FtpSocketControl(Socket* socket) : socket_(socket) {}
    int GetLine(char* dst, int max, int timeout) override;
    int Write(const char* data, int length) override;

private:
    Socket* socket_;
};

// Longest reply line kept; a longer line is cut (its code is unharmed).
constexpr int FTP_LINE_MAX = 1024;

// One reply: one line "ddd text", or a multi-line reply from "ddd-text" to
// the line beginning with the same "ddd " (lines between are text).
struct ftp_reply_t {
    int code;                 // the reply's number; 0 for a line without leading digits
    int multiline;            // 1 while inside a multi-line reply
    int complete;             // 1 once the reply has ended
    char first[FTP_LINE_MAX]; // first line, without CR LF
    char last[FTP_LINE_MAX];  // last line, without CR LF
};

// The leading number of a reply line (its leading digits, at most 9); 0 for
// a line without leading digits.
int ftp_line_code(const char* line);

// Empties a reply before the first line is fed.
void ftp_reply_start(ftp_reply_t* reply);

// Adds one line (CR LF optional) to the reply; 1 when the reply is complete.
// A line without leading digits outside a multi-line reply is a complete
// reply of code 0, as some servers answer in plain text.
int ftp_reply_feed(ftp_reply_t* reply, const char* line);

// Reads the next complete reply (a preliminary 1xx reply counts) into
// `reply`; its code, or -1 when no further line could be read.
int ftp_reply_read(FtpControl* control, int timeout, ftp_reply_t* reply);

// Results of ftp_code_wait besides the codes waited for.
enum {
    FTP_NO_REPLY = -1,   // the connection ended or stayed silent for `timeout` seconds
    FTP_UNEXPECTED = -2, // another final reply came (it is left in `reply`)
};

// Reads replies, skipping preliminary 1xx ones unless their code is waited
// for, until a final reply: returns `code` or `other` when it is one of
// them, else FTP_UNEXPECTED. `other` 0 accepts a line without number.
// `reply` may be NULL.
int ftp_code_wait(FtpControl* control, int timeout, int code, int other, ftp_reply_t* reply);

// Builds "<verb> <argument>\r\n" ("<verb>\r\n" for an empty argument, the
// argument alone for a NULL verb, as a raw command). False, with `command`
// untouched, when the verb or the argument holds CR, LF or NUL, or when the
// command would be empty.
bool ftp_command_build(std::string* command, const char* verb, const std::string& argument);

// Builds and sends one command. 0 when sent, -1 when writing failed, -2 when
// the command was refused by ftp_command_build (nothing is sent).
int ftp_command_send(FtpControl* control, const char* verb, const std::string& argument);

// Results of ftp_login.
enum {
    FTP_LOGIN_OK = 1,
    FTP_LOGIN_NO_REPLY = 0,      // USER went unanswered: the connection is dead
    FTP_LOGIN_BAD_USER = -1,     // USER refused (530 or another 5xx)
    FTP_LOGIN_BAD_PASSWORD = -2, // PASS unanswered or not answered with 2xx
    FTP_LOGIN_NO_TYPE = -3,      // TYPE I not answered with 200
    FTP_LOGIN_BAD_INPUT = -4,    // user or password holds CR, LF or NUL
};

// Logs in and switches to image type: "USER", which may be answered with
// 230 (no password needed) or 331; "PASS" after 331; then "TYPE I", answered
// with 200 or a line without number.
int ftp_login(FtpControl* control, int timeout, const std::string& user,
              const std::string& password);

// Carries out a listing page's action before the listing:
//   "mkdir"  MKD argument          "raw"    the argument as a command
//   "delete" DELE filename         "rmdir"  RMD filename
//   "rename" RNFR filename, then RNTO argument when RNFR got 350.
// An action whose argument or file name is empty, "rematch" (a filter of the
// listing, not a command) and unknown actions send nothing. Every reply is
// awaited. 1 when the server accepted (or nothing was to be sent), 0 when
// it refused (the refusal in `reply`, which may be NULL), -1 when no reply
// came, -2 when an argument holds CR, LF or NUL (nothing sent).
int ftp_action_run(FtpControl* control, int timeout, const std::string& action,
                   const std::string& argument, const std::string& filename, ftp_reply_t* reply);

// The data port of a passive-mode reply: six numbers "h1,h2,h3,h4,p1,p2"
// after the first "(" (blanks allowed around them, empty fields skipped,
// anything after the sixth ignored), each a decimal number from 0 to 255.
// The port p1 * 256 + p2, or -1 for any other text.
int ftp_pasv_port(const char* line);

// The address a passive data connection goes to: the control connection's
// peer address with the given port. False for a peer that is neither IPv4
// nor IPv6 or a port outside 1-65535.
bool ftp_pasv_target(const struct sockaddr_storage* control_peer, int port,
                     struct sockaddr_storage* target);

// True when an incoming data connection comes from the control connection's
// peer address (same family and address; the port is free).
bool ftp_data_peer_allowed(const struct sockaddr_storage* control_peer,
                           const struct sockaddr_storage* data_peer);

// Opens the data connection for one command ("LIST", "RETR path") and sends
// the command on the control connection whose descriptor is `control_fd`:
// - passive (1): "PASV", a 227 reply, a connection to the control
//   connection's peer at the port the reply names (ftp_pasv_port);
// - active (any other value): a listener on the control connection's local
//   address with a free port, "PORT" with that address and a 200 reply (or
//   a line without number), then, after the command, the server's
//   connection, taken only from the control connection's peer (others are
//   closed) within `timeout` seconds.
// The command's preliminary reply (150 or 125) is awaited; any other reply
// (550 for a missing file, 425 ...) gives NULL and stays in `reply` (which
// may be NULL). Returns a new Socket owned by the caller, or NULL with
// everything it opened closed. The transfer's final reply (226) is left for
// the caller to await once the data is read.
Socket* ftp_data_open(FtpControl* control, int control_fd, int passive, int timeout,
                      const char* verb, const std::string& argument, ftp_reply_t* reply);

// Splits a file path at its last "/": the directory (with its final "/")
// and the file name. A path without "/" is a file of "/".
void ftp_path_split(const std::string& path, std::string* directory, std::string* file);

// The sort of a listing: the request's "order" ("ascending", "descending")
// and "field" ("name", "size", "date") when both are given and known, else
// the section's defaults (order 0 ascending, any other value descending;
// field 0 unsorted, 1 name, 2 size, 3 date). 1 with the order and field to
// sort by, 0 when the listing stays in the server's order.
int ftp_sort_choice(const std::string& order, const std::string& field, int default_order,
                    int default_field, int* sort_order, int* sort_field);

// ---- The exchange -------------------------------------------------------------

struct CONNECTION_T;
class Filebuf;

// Serves one request for an "ftp" URL over the control connection that
// protocol_start opened (CONNECTION_T::server): logs in (skipped on a pooled,
// logged-in connection that still answers), changes to the path, and answers
// with the listing page of a directory (after the query's action), a 302 to
// the path with a final "/" for a directory named without it, or the file.
// The path is URL-decoded before it is sent, so an encoded CR, LF or NUL is
// refused like a literal one. 1 when served (the record written), -1 after
// an error page was sent and recorded; server_keepalive is then 0. A
// connection that carried a raw command is never pooled.
int protocol_ftp(CONNECTION_T* connection);

// The path of an FTP URL decoded into `decoded`: '%' and two hex digits
// become that byte, everything else - '+' too - stays. False (nothing
// stored) when a byte decodes to NUL, which no command may carry.
bool ftp_path_decode(const std::string& path, std::string* decoded);

// Reads `length` bytes (-1: until the data connection closes) from the data
// socket into a new buffer, owned by the caller, through the relay layer
// with the data socket in the place of CONNECTION_T::server.
Filebuf* ftp_transfer_filebuf(CONNECTION_T* connection, int side, Socket* data, int length);

// Relays from the data socket to the client in the same way; the bytes read.
int ftp_transfer(CONNECTION_T* connection, int side, Socket* data, int length);

// Read callback on the data socket of a download: feeds the cache object,
// counts the bytes and the download allowance. 0 go on, -1 stop.
int protocol_ftp_read_callback(void* connection, unsigned length, char* data);
