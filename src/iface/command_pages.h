// The diagnostic pages that URL commands ask for about the very request that
// carries them (the HTML tree of the response, the template variables, a
// test of the parent-proxy route, the active profiles, the raw body, the
// header texts, the cache entry of the URL, the transfer limits), and the
// frame they share with the other pages of the proxy's own making that
// answer in place of a response (keyword score, FTP listing, verdict pages).
//
// Contract:
// - Each page is a complete HTML document (doctype, title naming the
//   request, the style sheet "interface.css" when there is one, the content)
//   sent as the whole 200 answer with interface_send_response, which fills
//   the access-log record with status 200, the page size and "text/html".
//   The caller writes the record, as for any other answer. Each returns 1.
// - Every value of the request, the response, the cache or the
//   configuration printed into a page (host, path, tag and attribute names
//   and values, text, variables, profiles, header texts) is HTML-escaped:
//   no page can carry markup or a script of a server's or a client's making.
// - No lock is held while a page is written to the client: cache_show copies
//   what it shows under the cache mutex and sends after releasing it.
// - The request's own records (headers, body, variables, profiles, HTML
//   tree) belong to the worker and need no lock.
#pragma once

#include <string>

struct CONNECTION_T;
struct HEADER;
struct htmlstream_node;
class Filebuf;

// ---- The shared frame ----------------------------------------------------------

// Begins a page: the doctype, "<html><head><title>" + `what` + " " + the
// location HTML-escaped + "</title></head>", "<body>\n" and the style sheet.
// `what` is the page's own text ("HTML tree for"); `location` comes from the
// request.
void command_page_open(CONNECTION_T* connection, Filebuf* page, const char* what,
                       const std::string& location);

// "<host><path>" of a request header (either may be missing).
std::string command_page_location(const HEADER* request);

// The centred outer box and the inner table of the given class ("list",
// "centerdialog", "bigdialog"); command_page_close ends both and the page.
void command_page_box(Filebuf* page, const char* table_class);
void command_page_close(Filebuf* page);

// ---- The pages -----------------------------------------------------------------

// "htmltree": the nodes of the connection's HTMLStream, one row per node
// indented 36 pixels per level: a tag as its name and attributes, a text as
// its text in quotes (line breaks and runs of blanks kept). An empty list
// when the response held no HTML.
int show_htmltree(CONNECTION_T* connection);
// Appends the rows of a node, its following siblings and their children
// (depth first), starting at the given depth.
void show_htmltree_node(Filebuf* page, htmlstream_node* node, int depth);

// "variables": the template variables by name.
int show_variables(CONNECTION_T* connection);

// "proxytest": through an HTTP parent, asks the parent to connect back to
// this proxy and shows the request that arrived ("Headers received from
// host:port"), or "host:port failed to connect back"; without one, "Not
// forwarding through HTTP proxy".
int show_proxytest(CONNECTION_T* connection);

// "profiles", "mimeprofiles": the connection's profiles in order.
int show_profiles(CONNECTION_T* connection);

// "raw": the body as text, whole (a NUL byte shows as U+2400); the body
// stays the caller's and unchanged.
int show_filebuf(CONNECTION_T* connection, Filebuf* body);

// "headers": the client's request header and the server's response header
// as received.
int show_headers(CONNECTION_T* connection);

// "limits": the download and upload allowances of the request ("Unlimited"
// when none).
int limits_show(CONNECTION_T* connection);

// "cache": the cached object of the request URL (also one stored against
// the response's rules), or "Nothing found".
int cache_show(CONNECTION_T* connection);

// "score": the keyword score of the response body, given by the caller.
int score_show(CONNECTION_T* connection, int score);
