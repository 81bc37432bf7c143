// The reduced socket, buffer send and reason phrases; see header_io_standin.h.
#include "header_io_standin.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "connection.h"
#include "filebuf.h"
#include "mem.h"

namespace {

const int READ_PIECE = 8192;

} // namespace

Socket::Socket(int descriptor) : fd(descriptor), read_pending(0), read_buffer(NULL) {}

Socket::~Socket()
{
    if (fd != -1)
        close(fd);
    free(read_buffer);
}

int Socket::Read(char* buf, int len, int timeout)
{
    if (timeout != -1 && (len == -1 || read_pending < (unsigned)len)) {
        struct pollfd wait = {fd, POLLIN, 0};
        int ready;
        while ((ready = poll(&wait, 1, timeout * 1000)) == -1 && errno == EINTR) {
        }
        if (ready != 1)
            return -1;
    }
    int served = 0;
    if (len != -1 && read_pending > 0) {
        served = read_pending < (unsigned)len ? (int)read_pending : len;
        memcpy(buf, read_buffer, (size_t)served);
        memmove(read_buffer, read_buffer + served, read_pending - (unsigned)served);
        read_pending -= (unsigned)served;
        if (served == len)
            return served;
    }
    char piece[READ_PIECE];
    ssize_t got;
    while ((got = read(fd, piece, sizeof piece)) == -1 && errno == EINTR) {
    }
    if (got <= 0)
        return served > 0 ? served : (int)got;
    size_t keep = (size_t)got;
    if (len != -1) {
        size_t take = (size_t)(len - served) < keep ? (size_t)(len - served) : keep;
        memcpy(buf + served, piece, take);
        served += (int)take;
        keep -= take;
    }
    if (keep > 0) {
        char* grown = (char*)xrealloc(read_buffer, read_pending + keep);
        if (grown == NULL)
            FATAL_ALLOC("src/socket", read_pending + keep);
        read_buffer = grown;
        memcpy(read_buffer + read_pending, piece + (got - (ssize_t)keep), keep);
        read_pending += (unsigned)keep;
    }
    return len == -1 ? (int)got : served;
}

int Socket::Read(char* buf, int len)
{
    return Read(buf, len, -1);
}

int Socket::GetLine(char* dst, int max, int timeout)
{
    unsigned searched = 0;
    char* end = NULL;
    for (;;) {
        if (read_pending > searched) {
            end = (char*)memchr(read_buffer + searched, '\n', read_pending - searched);
            if (end != NULL)
                break;
        }
        searched = read_pending;
        int got = Read(NULL, -1, timeout);
        if (got < 1)
            return got;
    }
    unsigned line = (unsigned)(end - read_buffer) + 1;
    int copied = 0;
    if (max != -1) {
        copied = line < (unsigned)max ? (int)line : max;
        memcpy(dst, read_buffer, (size_t)copied);
        if (copied == max)
            dst[copied - 1] = '\0';
        else
            dst[copied] = '\0';
    }
    memmove(read_buffer, read_buffer + line, read_pending - line);
    read_pending -= line;
    return copied;
}

int Socket::GetLine(char* dst, int max)
{
    return GetLine(dst, max, -1);
}

int Socket::WriteFilebuf(const Filebuf* buffer)
{
    size_t sent = 0;
    while (sent < buffer->size) {
        ssize_t wrote = write(fd, buffer->data + sent, buffer->size - sent);
        if (wrote == -1) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        sent += (size_t)wrote;
    }
    return (int)sent;
}

int Socket::Flush()
{
    return 0;
}

int net_filebuf_send(Filebuf* buffer, CONNECTION_T* connection, int side)
{
    if (side == 0 && (connection->flags & CONN_NO_CLIENT))
        return (int)buffer->size;
    Socket* socket = side == 0 ? connection->client : connection->server;
    return socket == NULL ? -1 : socket->WriteFilebuf(buffer);
}

const char* code_to_error(int code)
{
    switch (code) {
    case 200: return "OK";
    case 301: return "Document Moved";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 407: return "Proxy Authentication Required";
    case 500: return "Internal Error";
    case 501: return "Not Implemented";
    case 502: return "Service Temporarily Unavailable";
    case 503: return "Connection Failed";
    default: return "Unknown";
    }
}
