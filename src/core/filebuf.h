// Filebuf: the one growable byte buffer of the daemon. Request and response
// bodies, raw header texts handed to the content processors, generated pages,
// files read from disk and strings built piece by piece all live in one.
//
// Contract:
// - The fields are public and read directly by many callers (and by the
//   plug-in): `size` bytes of `data` are in use, `capacity` are allocated.
//   `data` is NULL while nothing was ever stored and is not NUL-terminated
//   unless a user appends a NUL byte. A user that builds a string appends one
//   NUL byte, calls Shorten() and takes the pointer over (setting `data` to
//   NULL before the buffer is destroyed).
// - The block grows and shrinks in 64 KiB steps (see Resize); Shorten() and
//   Dup() make it exactly as large as the data.
// - A buffer holds at most INT_MAX bytes; asking for more is an impossible
//   state and ends in the fatal-error sequence, like a failed allocation, an
//   out-of-range Trim or Replace, or a negative size.
// - `content_type` is an owned MIME type text (or NULL) of generated content;
//   only its owner reads and sets it; the destructor frees it and no
//   operation here copies it.
// - A buffer is used by one thread at a time; callers lock a shared one.
// - Compress/Uncompress replace the data in place; on failure (result 0,
//   or -1 for decoded data over its limit; logged) the buffer stays exactly
//   as it was.
#pragma once

#include <limits.h>
#include <stdint.h>
#include <string.h>

// Modes of Compress and Uncompress, by HTTP content coding.
enum {
    FILEBUF_DEFLATE = 0, // raw deflate stream ("deflate")
    FILEBUF_GZIP = 1,    // gzip member(s) ("gzip")
};

struct CONNECTION_T;

// Every block is a multiple of this many bytes after growth.
constexpr unsigned FILEBUF_STEP = 65536;

// One line of a doubly linked list of text lines made by Filebuf::to_stack.
// Each node and its text are owned by the list; stack_free releases it.
struct STACK_T {
    STACK_T* next; // following line, NULL at the end
    STACK_T* prev; // preceding line, NULL at the start
    char* text;    // NUL-terminated copy of the line, without its newline
};

class Filebuf {
public:
    unsigned size;      // bytes in use
    unsigned capacity;  // bytes allocated
    char* data;         // owned bytes, NULL while nothing was ever stored
    char* content_type; // owned MIME type of generated content, or NULL

    Filebuf();
    // A copy of n bytes in a block of exactly that size, for small texts
    // that are seldom grown (a first 64 KiB step would be cleared in vain).
    Filebuf(const char* bytes, unsigned n);
    ~Filebuf();
    // The buffer owns raw blocks: copying it would free them twice. Use
    // Dup() for a copy and Swap() to move the contents.
    Filebuf(const Filebuf&) = delete;
    Filebuf& operator=(const Filebuf&) = delete;

    // Sets the size to n. The block is reallocated to n rounded up to the
    // next multiple of 64 KiB when it is smaller than n, larger than
    // n + 64 KiB, or absent; otherwise it stays. Resize(0) keeps the block.
    // Bytes gained by growing an existing block are not cleared.
    void Resize(int n);

    // For an empty buffer without a block: gives it a one-byte block, so
    // that growing reallocates without clearing instead of allocating a
    // zero-filled first 64 KiB step. For texts of a few hundred bytes built
    // piece by piece (headers, some of them per request), where the clearing
    // showed in profiles. Does nothing to a buffer that has a block.
    void StartSmall();

    // Appends n bytes (which may lie inside this buffer) and returns the
    // address of the copy.
    // Most appends fit the block as it is (a header is built from a few dozen
    // of them): that case is inline, the rest is AddGrowing.
    char* Add(const char* bytes, unsigned n) {
        uint64_t wanted = (uint64_t)size + n;
        if (data == NULL || n == 0 || wanted > capacity || capacity > wanted + FILEBUF_STEP)
            return AddGrowing(bytes, n);
        char* at = data + size;
        memcpy(at, bytes, n);
        size = (unsigned)wanted;
        return at;
    }

    // Appends printf-style output; output of 16384 characters or more is cut
    // to its first 16383 characters.
    void Addf(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Replaces the bytes [start, end) by the NUL-terminated text.
    // 0 <= start <= end <= size is required (impossible state otherwise).
    void Replace(int start, int end, const char* text);

    // Drops the first n bytes; 0 <= n <= size is required.
    void Trim(int n);

    // Reallocates the block to exactly the size (nothing to do when the
    // buffer is empty).
    void Shorten();

    // Frees this buffer's data and takes over the other's data, size and
    // capacity, leaving the other empty; NULL only empties this buffer.
    // Content types are not touched.
    void Swap(Filebuf* other);

    // New heap copy of the data with capacity equal to the size, owned by the
    // caller; the content type is not copied.
    Filebuf* Dup() const;

    // Writes the whole data to a blocking descriptor, repeating short and
    // interrupted writes. Returns the bytes written (the size), or -1 with
    // errno set when a write fails.
    int Save(int fd);

    // Writes the whole data to the file at path, mode 0644 for a new file.
    // A regular file is replaced as a whole: the data goes to a temporary
    // file beside it, which is renamed over the path only when every byte is
    // on disk (the directory is synced after the rename), so a failure
    // leaves the old contents intact (a symbolic link
    // is followed and stays; an existing file keeps its permission bits).
    // Other files (devices, FIFOs), and files in directories where no
    // temporary file can be made, are truncated and written in place.
    // Returns the bytes written, or -1 when the file cannot be opened or
    // written (write failures are logged).
    int Save(const char* path);

    // Appends the whole file at path. Returns the bytes read, -1 when the
    // file cannot be opened or read (then nothing is appended).
    int Read(const char* path);

    // Splits the data at newlines into a new line list and returns its first
    // line; the bytes after the last newline form a last line when there are
    // any. NULL when the buffer has no block; a block of size 0 gives one
    // empty line. The caller frees the list with stack_free.
    STACK_T* to_stack() const;

    // Replaces the data by its compressed form (FILEBUF_DEFLATE: raw deflate;
    // FILEBUF_GZIP: one gzip member with a fixed 10-byte header and the CRC-32
    // and length trailer). 1 on success, 0 on failure (data unchanged).
    int Compress(int mode);

    // Replaces the data by its decompressed form. FILEBUF_GZIP decodes gzip
    // members with zlib's own framing: header flags and optional fields are
    // honoured, the CRC-32 and the length are checked, and members that
    // follow one another are all decoded; other bytes after the last member
    // are ignored. FILEBUF_DEFLATE decodes one raw deflate stream. The
    // decoded data may take at most `limit` bytes: a small body that would
    // expand beyond it (a compression bomb) is given up as soon as it
    // passes. 1 on success, 0 on failure (zlib error logged), -1 when the
    // limit was passed (logged); the data is unchanged on both failures.
    int Uncompress(int mode, uint64_t limit = INT_MAX);

    // Decodes a response body by its Content-Encoding value: "gzip" is looked
    // for first, then "deflate", as case-insensitive substrings, into at most
    // `limit` bytes. Logs the outcome; 1 when decoded, -1 when the decoded
    // body would pass the limit, 0 otherwise. The header is left to the
    // caller.
    int DecodeContent(const char* content_encoding, uint64_t limit = INT_MAX);

    // Compresses a response body for a client whose Accept-Encoding value is
    // given: gzip when the client accepts it, else deflate when it accepts
    // that (see content_coding_accepted). Logs the outcome and returns the
    // coding word applied ("gzip" or "deflate", static text), or NULL when
    // nothing was done.
    const char* EncodeContent(const char* accept_encoding);

    // Decode and Encode read the connection's headers and the general
    // section, so they are defined with the HTTP exchange
    // (http/content_coding.cpp); the buffer itself knows only coding words.
    //
    // DecodeContent by the Content-Encoding of the connection's response
    // (none: nothing to decode), into at most the connection's download
    // buffer limit (relay_buffer_limit). The header is left to the caller.
    int Decode(CONNECTION_T* connection);

    // Compresses a response body for the connection's client when the
    // general section lets this connection compress outgoing bodies (1), the
    // request carries Accept-Encoding and the proxy did not itself ask the
    // server for compression (CONN_ENCODING_ASKED). On success the
    // response's Content-Encoding names the coding applied and 1 is
    // returned; otherwise 0 and nothing changed.
    int Encode(CONNECTION_T* connection);

private:
    // Add when the block must be made or resized (or nothing is added).
    char* AddGrowing(const char* bytes, unsigned n);
};

// True (1) when an Accept-Encoding value accepts the content coding: the
// coding (or "x-gzip" for "gzip") is listed, compared without case, with no
// weight or a weight above 0. "gzip;q=0" refuses gzip; a weight that is not a
// number refuses too. A NULL value accepts nothing.
int content_coding_accepted(const char* accept_encoding, const char* coding);

// Frees a whole line list given any of its lines (NULL does nothing).
void stack_free(STACK_T* line);

// Logs a zlib result code at LOG_ERROR in words.
void zlib_error(int code);
