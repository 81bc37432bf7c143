// What header I/O needs of the socket component, of the network layer's
// buffer send and of the reason-phrase table, reduced to exactly the calls
// it makes. The full components replace this file: Socket (socket.h),
// net_filebuf_send (network.h) and code_to_error (misc.h) keep these names
// and meanings there.
#pragma once

class Filebuf;
struct CONNECTION_T;

// A connected TCP socket with a read buffer for bytes received but not yet
// consumed. Owns its descriptor (closed by the destructor).
class Socket {
public:
    int fd;
    unsigned read_pending; // bytes held in read_buffer
    char* read_buffer;

    explicit Socket(int fd);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Buffer mode (buf NULL, len -1): one read of the descriptor appended to
    // the read buffer; returns the read's result (0 at end of stream, -1 on
    // failure). Otherwise serves buffered bytes first, then reads once.
    int Read(char* buf, int len, int timeout);
    int Read(char* buf, int len);

    // Copies the next line, its LF included, into dst (at most max bytes,
    // terminated; when the copy is max bytes long its last byte becomes the
    // terminator) and consumes the whole line. Reads while no whole line is
    // buffered; a read result below 1 is returned as it is. Returns the
    // number of bytes copied.
    int GetLine(char* dst, int max, int timeout);
    int GetLine(char* dst, int max);

    // Writes the whole buffer; returns the bytes written, -1 on failure.
    int WriteFilebuf(const Filebuf* buffer);
    // Sends pending bytes; returns 0.
    int Flush();
};

// Sends the whole buffer on the side's socket (SIDE_CLIENT 0 or SIDE_SERVER
// 1); on the client side with CONN_NO_CLIENT set only returns the size.
int net_filebuf_send(Filebuf* buffer, CONNECTION_T* connection, int side);

// The reason phrase of an HTTP status code ("Unknown" for codes it does not
// know).
const char* code_to_error(int code);
