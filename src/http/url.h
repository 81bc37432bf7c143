// The URL record and the URL text operations.
//
// A URL is the parsed form of an absolute URL: scheme, optional user part,
// host, optional port, path. url_parse makes it, url_create prints it back,
// urlcmp compares two, url_free releases one. Beside it stand the text
// operations the request parser, the header serialiser, URL commands, the
// interface pages and the FTP listings share: the path normaliser, the
// default-port lookup, form encoding and decoding, and the path-as-links
// renderer.
//
// Contract shared by every operation here:
// - No state, no lock: safe from any thread on data the caller owns.
// - Every text or record returned is new (xmalloc family) and belongs to the
//   caller: texts are released with free(), records with url_free. An
//   allocation failure is an impossible state and ends in the fatal-error
//   sequence (source "src/url").
//
// Authority rules (url_parse here, and the request parser, which uses the
// helpers at the end of this file):
// - The authority is the text after "scheme:" and two more characters, up to
//   the first '/', '?' or '#'. Host, port and user part come from it alone:
//   in "http://h/wiki/A:B" the host is "h" and the path "/wiki/A:B".
// - A user part ends at the last '@' of the authority; it is a user name,
//   optionally followed by ':' and a password. The user name may not be
//   empty; either text has at most URL_CREDENTIAL_MAX characters.
// - A host may hold letters, digits and "-._~!$&'()*+,;=[]" only: no control
//   character, blank, byte 0x80 or above, nor any of "\"#%/:<>?@\\^`{|}".
// - A port is 1 to 65535 written in decimal digits; an empty port (a ':'
//   with nothing after it) means the scheme's default port.
// - Paths never lose a byte: blanks, control characters and bytes 0x80 and
//   above are percent-encoded (uppercase hex), nothing is cut but a "#"
//   fragment.
#pragma once

#include <stddef.h>
#include <string>

// A parsed URL. Every text is a separately allocated, NUL-terminated string
// owned by the record.
struct URL {
    char* user;     // user name of the user part; NULL when there is none
    char* password; // its password; "" when the user part has none; NULL
                    // exactly when `user` is NULL
    char* scheme;   // text before the first ':', lower-cased
    char* host;     // lower-cased; may be empty
    char* path;     // begins with "/", made by url_path_fix; "/" when none
    int port;       // the explicit port, else protocol_port(scheme)
};

// Longest user name and longest password of a user part.
enum { URL_CREDENTIAL_MAX = 128 };

// New record, or NULL when the text is not an absolute URL by the rules
// above (no ':', fewer than two characters after it, a scheme that is not
// a letter followed by letters, digits, '+', '-' or '.', an empty or too
// long user name, a too long password, a host with a refused byte, or a
// port that is not 1 to 65535).
URL* url_parse(const char* text);

// New text "<scheme>://<host>:<port><path>", never cut; the user part is
// never printed and the port always is.
char* url_create(const URL* url);

// 1 when both name the same resource: equal ports, schemes and hosts equal
// ignoring case, paths exactly equal; a user or password is compared
// (exactly) only when both records have one. Else 0.
int urlcmp(const URL* a, const URL* b);

// Frees the texts and the record; NULL is ignored.
void url_free(URL* url);

// 80 for "http", 21 for "ftp" (either compared ignoring case), 0 for every
// other scheme and for NULL.
int protocol_port(const char* scheme);

// New normalised copy of a path: cut at the first '#', and every byte that
// cannot stand in a request line (0x01 to 0x20, 0x7F, 0x80 to 0xFF) replaced
// by '%' and two uppercase hex digits. Other bytes, '%' included, stay as
// they are. A NULL path gives "/".
char* url_path_fix(const char* path);

// Removes, in place and keeping the order of the rest, every byte 0x01 to
// 0x20 and 0x80 to 0xFF. Returns 0.
int url_strip(char* text);

// New form-encoded copy of at most `length` characters of text (stopping at
// the terminator; (unsigned)-1 for the whole text): a space becomes "+";
// ",-./", digits and ASCII letters stay; every other byte - '+' (which
// url_decode reads as a blank) and bytes 0x80 and above included - becomes
// '%' and two lowercase hex digits, so url_decode always gives the text back.
char* url_encode(const char* text, unsigned length);

// New decoded copy of at most `length` characters of text (stopping at the
// terminator): '%' and two hex digits become that byte, '+' a space; a '%'
// not followed by two hex digits ("%zz", "%4", a trailing '%') stays as it
// is. A decoded byte 0 is kept and ends the text for readers of C strings.
char* url_decode(const char* text, unsigned length);

// New text of the `length` characters at text with every '%' and two hex
// digits decoded (a '+' stays itself: in an authority it is an ordinary
// character, and "%zz" stays literal); NULL when the result would hold a
// zero byte.
char* url_authority_decode(const char* text, size_t length);

// The path as the server it goes to reads the names in it: every "%XX"
// that encodes an unreserved character (letter, digit, '-', '.', '_', '~')
// decoded, every other byte left as it is ("%2F" and "%25" stay, so nothing
// is decoded twice). Returns path itself when it holds no such escape (no
// copy is made), else the decoded text, kept in `scratch`. Rules compare
// paths in this form, so "/%61dmin" is "/admin" to them.
const char* url_path_unreserved(const char* path, std::string& scratch);

// New HTML text showing a path as links: the root link "<a href=\"/\">/</a>",
// then one link "<a href=\"<prefix>\"><segment>/</a>" per non-empty
// segment, where prefix is "/" followed by the segments so far, each with a
// '/' after it. Hrefs and segments are HTML-escaped and never cut.
char* path_to_url(const char* path);

// ---- Authority helpers ------------------------------------------------------

// The pieces of an authority ("[user[:password]@]host[:port]"), as pointers
// into the text that was split; nothing is copied or checked.
struct url_authority_t {
    const char* userinfo; // text before the last '@'; NULL when there is no '@'
    size_t userinfo_length;
    const char* host;     // text after the '@' up to the first ':'
    size_t host_length;
    const char* port;     // text after that ':'; NULL when there is no ':'
    size_t port_length;
};

// Offset of the end of the authority that starts at text: the first '/',
// '?', '#' or the terminator.
size_t url_authority_length(const char* text);

// Splits the `length` characters at text into their pieces.
void url_authority_split(const char* text, size_t length, url_authority_t* pieces);

// The port written in the `length` characters at digits: 1 to 65535 in
// decimal digits only (leading zeros allowed); -1 for anything else,
// including an empty text.
int url_port_parse(const char* digits, size_t length);

// 1 when every one of the `length` bytes at host may stand in a host name
// (rules above); 0 otherwise. An empty host is valid here; callers that
// need a host check the length themselves.
int url_host_valid(const char* host, size_t length);
