#include "core/filebuf.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <memory>
#include <string>

#include "core/compat.h"
#include "core/daemon.h"
#include "core/log.h"
#include "core/mem.h"

// Largest number of bytes a buffer may hold: sizes travel as int through
// Resize, Trim, Replace, Save and Read.
static const uint64_t FILEBUF_MAX_SIZE = INT_MAX;

// Work area of Addf.
static const int ADDF_AREA = 16384;
static const int ADDF_SMALL_AREA = 512;

// Fixed header of the gzip member Compress writes: magic, method 8, no
// flags, time 0, no extra flags, operating system 3 (Unix).
static const unsigned char GZIP_HEADER[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
static const unsigned GZIP_TRAILER_SIZE = 8;

Filebuf::Filebuf() : size(0), capacity(0), data(NULL), content_type(NULL) {}

Filebuf::Filebuf(const char* bytes, unsigned n) : Filebuf() {
    if (n == 0)
        return;
    if (n > FILEBUF_MAX_SIZE)
        FATAL_ALLOC("src/filebuf", n);
    data = (char*)xmalloc(n);
    if (data == NULL)
        FATAL_ALLOC("src/filebuf", n);
    memcpy(data, bytes, n);
    size = capacity = n;
}

void Filebuf::StartSmall() {
    if (data != NULL)
        return;
    data = (char*)xmalloc(1);
    if (data == NULL)
        FATAL_ALLOC("src/filebuf", 1);
    capacity = 1;
    size = 0;
}

Filebuf::~Filebuf() {
    free(data);
    free(content_type);
}

static unsigned round_to_step(uint64_t n) {
    return (unsigned)((n + FILEBUF_STEP - 1) / FILEBUF_STEP * FILEBUF_STEP);
}

void Filebuf::Resize(int n) {
    if (n < 0)
        FATAL("src/filebuf");
    unsigned wanted = (unsigned)n;
    // Emptying keeps the block: it is about to be filled again, and a
    // zero-sized allocation is an impossible state.
    if (wanted > 0 && (data == NULL || capacity < wanted || capacity > (uint64_t)wanted + FILEBUF_STEP)) {
        unsigned new_capacity = round_to_step(wanted);
        void* block = xrealloc(data, new_capacity);
        if (block == NULL)
            FATAL_ALLOC("src/filebuf", new_capacity);
        data = (char*)block;
        capacity = new_capacity;
    }
    size = wanted;
}

char* Filebuf::AddGrowing(const char* bytes, unsigned n) {
    uint64_t wanted = (uint64_t)size + n;
    if (wanted > FILEBUF_MAX_SIZE)
        FATAL_ALLOC("src/filebuf", (unsigned)(wanted > UINT_MAX ? UINT_MAX : wanted));
    unsigned old_size = size;
    // The bytes may lie inside this buffer (appending part of itself): find
    // them again after the block has moved.
    bool inside = data != NULL && bytes >= data && bytes < data + capacity;
    size_t offset = inside ? (size_t)(bytes - data) : 0;
    Resize((int)wanted);
    if (inside)
        bytes = data + offset;
    if (n > 0)
        memcpy(data + old_size, bytes, n);
    return data == NULL ? NULL : data + old_size;
}

// Most texts fit the small area on the stack; a longer one is formatted
// again into a block of its own, cut as before at ADDF_AREA - 1 bytes. A
// 16 KiB area on the stack made every worker that ever drew a page keep
// 16 KiB more of its stack resident.
void Filebuf::Addf(const char* format, ...) {
    char area[ADDF_SMALL_AREA];
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    int length = vsnprintf(area, sizeof(area), format, arguments);
    va_end(arguments);
    if (length > 0 && length < ADDF_SMALL_AREA) {
        Add(area, (unsigned)length);
    } else if (length > 0) {
        if (length >= ADDF_AREA)
            length = ADDF_AREA - 1;
        std::unique_ptr<char[]> text(new char[(size_t)length + 1]);
        vsnprintf(text.get(), (size_t)length + 1, format, again);
        Add(text.get(), (unsigned)length);
    }
    va_end(again);
}

void Filebuf::Replace(int start, int end, const char* text) {
    if (text == NULL || start < 0 || start > end || (unsigned)end > size)
        FATAL("src/filebuf");
    // A text taken from this buffer would move or be overwritten below.
    std::string own_copy;
    if (data != NULL && text >= data && text < data + capacity) {
        own_copy.assign(text);
        text = own_copy.c_str();
    }
    size_t text_length = strlen(text);
    size_t removed = (size_t)(end - start);
    size_t tail = size - (unsigned)end;
    if (text_length > removed) {
        uint64_t wanted = (uint64_t)size + (text_length - removed);
        if (wanted > FILEBUF_MAX_SIZE)
            FATAL_ALLOC("src/filebuf", (unsigned)(wanted > UINT_MAX ? UINT_MAX : wanted));
        Resize((int)wanted);
        memmove(data + start + text_length, data + end, tail);
    } else if (text_length < removed) {
        memmove(data + start + text_length, data + end, tail);
        Resize((int)(size - (removed - text_length)));
    }
    if (text_length > 0)
        memcpy(data + start, text, text_length);
}

void Filebuf::Trim(int n) {
    if (n < 0 || (unsigned)n > size)
        FATAL("src/filebuf");
    if (n == 0)
        return;
    memmove(data, data + n, size - (unsigned)n);
    Resize((int)(size - (unsigned)n));
}

void Filebuf::Shorten() {
    if (data == NULL || size == 0 || capacity <= size)
        return;
    void* block = xrealloc(data, size);
    if (block == NULL)
        FATAL_ALLOC("src/filebuf", size);
    data = (char*)block;
    capacity = size;
}

void Filebuf::Swap(Filebuf* other) {
    if (other == this)
        return;
    free(data);
    if (other == NULL) {
        data = NULL;
        size = 0;
        capacity = 0;
        return;
    }
    data = other->data;
    size = other->size;
    capacity = other->capacity;
    other->data = NULL;
    other->size = 0;
    other->capacity = 0;
}

Filebuf* Filebuf::Dup() const {
    Filebuf* copy = new Filebuf;
    if (size == 0)
        return copy;
    copy->data = (char*)xmalloc(size);
    if (copy->data == NULL)
        FATAL_ALLOC("src/filebuf", size);
    memcpy(copy->data, data, size);
    copy->size = size;
    copy->capacity = size;
    return copy;
}

int Filebuf::Save(int fd) {
    if (s_write_all(fd, data, size) == -1)
        return -1;
    return (int)size;
}

// Truncates and writes the file in place: for devices and FIFOs, and where
// no temporary file can be made beside the target.
static int save_in_place(const Filebuf* buffer, const char* path) {
    int fd = s_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1)
        return -1;
    if (s_write_all(fd, buffer->data, buffer->size) == -1) {
        putlog(LOG_ERROR, "[system: write:%d:%s], in %s, failed to write file %s", errno, strerror(errno),
               "Save", path);
        close(fd);
        return -1;
    }
    if (close(fd) == -1) {
        putlog(LOG_ERROR, "[system: close:%d:%s], in %s, failed to write file %s", errno, strerror(errno),
               "Save", path);
        return -1;
    }
    return (int)buffer->size;
}

int Filebuf::Save(const char* path) {
    // Replace the file a symbolic link points to, not the link.
    char resolved[PATH_MAX];
    const char* target = realpath(path, resolved) != NULL ? resolved : path;

    struct stat existing;
    bool exists = stat(target, &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode))
        return save_in_place(this, target);
    // A file we may not write stays as it is, even where its directory
    // would let us replace it.
    if (exists && faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) == -1)
        return -1;

    static std::atomic<unsigned> serial{0};
    std::string temporary = std::string(target) + "." + std::to_string(getpid()) + "." +
                            std::to_string(serial.fetch_add(1)) + ".tmp";
    int fd = s_open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd == -1)
        return save_in_place(this, target);

    const char* failed_call = NULL;
    if (exists && fchmod(fd, existing.st_mode & 07777) == -1)
        failed_call = "fchmod";
    else if (s_write_all(fd, data, size) == -1)
        failed_call = "write";
    else if (fsync(fd) == -1)
        failed_call = "fsync";
    if (failed_call != NULL) {
        putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, failed to write file %s", failed_call, errno,
               strerror(errno), "Save", target);
        close(fd);
        unlink(temporary.c_str());
        return -1;
    }
    if (close(fd) == -1) {
        putlog(LOG_ERROR, "[system: close:%d:%s], in %s, failed to write file %s", errno, strerror(errno),
               "Save", target);
        unlink(temporary.c_str());
        return -1;
    }
    if (rename(temporary.c_str(), target) == -1) {
        putlog(LOG_ERROR, "[system: rename:%d:%s], in %s, failed to replace file %s", errno, strerror(errno),
               "Save", target);
        unlink(temporary.c_str());
        return -1;
    }
    // The rename survives a crash of the system only once the directory is
    // on disk too.
    std::string directory(target);
    size_t slash = directory.rfind('/');
    directory = slash == std::string::npos ? "." : slash == 0 ? "/" : directory.substr(0, slash);
    int folder = s_open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (folder == -1 || fsync(folder) == -1)
        putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, failed to sync directory %s",
               folder == -1 ? "open" : "fsync", errno, strerror(errno), "Save", directory.c_str());
    if (folder != -1)
        close(folder);
    return (int)size;
}

int Filebuf::Read(const char* path) {
    int fd = s_open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd == -1)
        return -1;
    unsigned old_size = size;
    // Read straight into the block; a regular file's size tells how much
    // room to make at once, one piece more lets the end of file show.
    uint64_t piece = BLOCKSIZE > 0 ? BLOCKSIZE : 8192;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        piece = (uint64_t)st.st_size + piece;
    uint64_t total = old_size;
    for (;;) {
        if (total + piece > FILEBUF_MAX_SIZE) {
            piece = FILEBUF_MAX_SIZE - total;
            if (piece == 0) {
                putlog(LOG_ERROR, "file %s is too large to be read into memory", path);
                Resize((int)old_size);
                close(fd);
                return -1;
            }
        }
        Resize((int)(total + piece));
        ssize_t got = read(fd, data + total, (size_t)piece);
        if (got == -1) {
            if (errno == EINTR)
                continue;
            putlog(LOG_ERROR, "[system: read:%d:%s], in %s, failed to read file %s", errno, strerror(errno),
                   "Read", path);
            Resize((int)old_size);
            close(fd);
            return -1;
        }
        if (got == 0)
            break;
        total += (uint64_t)got;
        piece = BLOCKSIZE > 0 ? BLOCKSIZE : 8192;
    }
    Resize((int)total);
    close(fd);
    return (int)(total - old_size);
}

// New list node holding a copy of n bytes as text.
static STACK_T* stack_line_new(const char* bytes, size_t n, STACK_T* prev) {
    STACK_T* line = (STACK_T*)xmalloc(sizeof(STACK_T));
    if (line == NULL)
        FATAL_ALLOC("src/filebuf", (unsigned)sizeof(STACK_T));
    line->text = (char*)xmalloc((unsigned)n + 1);
    if (line->text == NULL)
        FATAL_ALLOC("src/filebuf", (unsigned)n + 1);
    if (n > 0)
        memcpy(line->text, bytes, n);
    line->text[n] = '\0';
    line->prev = prev;
    line->next = NULL;
    if (prev != NULL)
        prev->next = line;
    return line;
}

STACK_T* Filebuf::to_stack() const {
    if (data == NULL)
        return NULL;
    if (size == 0)
        return stack_line_new(data, 0, NULL);
    STACK_T* first = NULL;
    STACK_T* last = NULL;
    const char* cursor = data;
    const char* end = data + size;
    while (cursor < end) {
        const char* newline = (const char*)memchr(cursor, '\n', (size_t)(end - cursor));
        const char* line_end = newline != NULL ? newline : end;
        last = stack_line_new(cursor, (size_t)(line_end - cursor), last);
        if (first == NULL)
            first = last;
        cursor = newline != NULL ? newline + 1 : end;
    }
    return first;
}

void stack_free(STACK_T* line) {
    if (line == NULL)
        return;
    while (line->prev != NULL)
        line = line->prev;
    while (line != NULL) {
        STACK_T* next = line->next;
        if (line->text == NULL)
            FATAL("src/misc");
        free(line->text);
        free(line);
        line = next;
    }
}

void zlib_error(int code) {
    switch (code) {
    case Z_NEED_DICT:
        putlog(LOG_ERROR, "zlib: dictionary error");
        break;
    case Z_BUF_ERROR:
        putlog(LOG_ERROR, "zlib: buffer error");
        break;
    case Z_MEM_ERROR:
        putlog(LOG_ERROR, "zlib: memory error");
        break;
    case Z_DATA_ERROR:
        putlog(LOG_ERROR, "zlib: data error");
        break;
    case Z_STREAM_ERROR:
        putlog(LOG_ERROR, "zlib: stream error");
        break;
    default:
        putlog(LOG_ERROR, "zlib: unknown error %d", code);
        break;
    }
}

// Makes room for more zlib output in `out`, whose first `used` bytes are
// taken; zlib writes into the whole allocated block, the size is set once the
// stream is done. Doubles the block (at least one more 64 KiB step) so big
// bodies cost few reallocations. False when the buffer limit is reached.
static bool grow_output(Filebuf* out, uint64_t used) {
    uint64_t wanted = used < FILEBUF_STEP ? (uint64_t)FILEBUF_STEP * 2 : used * 2;
    if (wanted > FILEBUF_MAX_SIZE)
        wanted = FILEBUF_MAX_SIZE;
    if (wanted <= out->capacity)
        return false;
    out->Resize((int)wanted);
    return true;
}

// First block for zlib output: the expected size, at least one byte (the
// block is what matters, its size is set when the stream is done).
static void reserve_output(Filebuf* out, uint64_t expected) {
    if (expected > FILEBUF_MAX_SIZE)
        expected = FILEBUF_MAX_SIZE;
    out->Resize(expected < 1 ? 1 : (int)expected);
}

static void put_le32(unsigned char* at, uint32_t value) {
    at[0] = (unsigned char)value;
    at[1] = (unsigned char)(value >> 8);
    at[2] = (unsigned char)(value >> 16);
    at[3] = (unsigned char)(value >> 24);
}

// run_stream's result when the output would pass its limit.
static const int STREAM_OVER_LIMIT = 1000;

// Runs deflate or inflate over the prepared stream into `out` from byte
// `used` on, until the stream ends or fails. Returns the last zlib result
// (Z_STREAM_END on success), or STREAM_OVER_LIMIT as soon as the output
// would pass `limit` bytes, and the bytes of `out` in use through `used`.
// Gzip members that follow one another are decoded as one body.
static int run_stream(z_stream* stream, bool deflating, bool gzip_members, Filebuf* out, uint64_t* used,
                      uint64_t limit = FILEBUF_MAX_SIZE) {
    int result;
    for (;;) {
        // One byte beyond the limit shows that the output does not fit.
        if (*used > limit)
            return STREAM_OVER_LIMIT;
        if (*used == out->capacity && !grow_output(out, *used))
            return Z_BUF_ERROR;
        uint64_t room = out->capacity - *used;
        if (room > limit + 1 - *used)
            room = limit + 1 - *used;
        stream->next_out = (Bytef*)out->data + *used;
        stream->avail_out = (uInt)room;
        result = deflating ? deflate(stream, Z_FINISH) : inflate(stream, Z_NO_FLUSH);
        *used += room - stream->avail_out;
        if (*used > limit)
            return STREAM_OVER_LIMIT;
        if (result == Z_STREAM_END) {
            if (gzip_members && stream->avail_in >= 2 && stream->next_in[0] == 0x1f && stream->next_in[1] == 0x8b) {
                inflateReset(stream);
                continue;
            }
            return result; // anything else after the stream is ignored
        }
        if (result == Z_OK)
            continue;
        // No progress: with the output full it only needs room; otherwise
        // the input ended before the stream did.
        if (result == Z_BUF_ERROR && stream->avail_out == 0)
            continue;
        return result;
    }
}

int Filebuf::Compress(int mode) {
    bool gzip = mode == FILEBUF_GZIP;
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    if (deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;

    // Deflate straight into the new block, sized by zlib's bound for the
    // whole input, so one call normally does all the work.
    unsigned header_size = gzip ? sizeof(GZIP_HEADER) : 0;
    unsigned trailer_size = gzip ? GZIP_TRAILER_SIZE : 0;
    Filebuf out;
    reserve_output(&out, (uint64_t)header_size + deflateBound(&stream, size) + trailer_size);
    if (gzip)
        memcpy(out.data, GZIP_HEADER, sizeof(GZIP_HEADER));
    uint64_t used = header_size;
    stream.next_in = (Bytef*)data;
    stream.avail_in = size;
    int result = run_stream(&stream, true, false, &out, &used);
    deflateEnd(&stream);
    if (result == Z_STREAM_END && gzip && out.capacity - used < trailer_size && !grow_output(&out, used))
        result = Z_BUF_ERROR;
    if (result != Z_STREAM_END) {
        zlib_error(result);
        return 0;
    }
    if (gzip) {
        put_le32((unsigned char*)out.data + used, (uint32_t)crc32(0L, (const Bytef*)data, size));
        put_le32((unsigned char*)out.data + used + 4, size);
        used += trailer_size;
    }
    out.Resize((int)used);
    Swap(&out);
    return 1;
}

// Largest first block Uncompress makes from a guess; larger bodies grow by
// doubling, so a false length in a gzip trailer cannot claim much memory.
static const uint64_t INFLATE_FIRST_BLOCK_LIMIT = 64u << 20;

int Filebuf::Uncompress(int mode, uint64_t limit) {
    bool gzip = mode == FILEBUF_GZIP;
    // Too short for a gzip header, a deflate stream and a trailer.
    if (gzip && size <= 17)
        return 0;
    z_stream stream;
    memset(&stream, 0, sizeof(stream));
    // Gzip: zlib reads the header itself (flags, optional name, comment,
    // extra field and header CRC) and checks the CRC-32 and length trailer.
    if (inflateInit2(&stream, gzip ? 16 + MAX_WBITS : -MAX_WBITS) != Z_OK)
        return 0;
    if (size == 0) {
        inflateEnd(&stream);
        zlib_error(Z_OK);
        return 0;
    }

    // Inflate straight into the new block. A gzip trailer states the length
    // (modulo 4 GiB) of its member; it is only a hint, believed when a
    // deflate stream of this size could expand that far.
    uint64_t expected = (uint64_t)size * 4;
    if (gzip) {
        const unsigned char* trailer = (const unsigned char*)data + size - 4;
        uint64_t stated = trailer[0] | (uint64_t)trailer[1] << 8 | (uint64_t)trailer[2] << 16 |
                          (uint64_t)trailer[3] << 24;
        if (stated > 0 && stated <= (uint64_t)size * 1032)
            expected = stated + 1; // one byte more lets the stream end show
    }
    if (expected > INFLATE_FIRST_BLOCK_LIMIT)
        expected = INFLATE_FIRST_BLOCK_LIMIT;
    if (expected > limit + 1)
        expected = limit + 1;
    Filebuf out;
    reserve_output(&out, expected);
    uint64_t used = 0;
    stream.next_in = (Bytef*)data;
    stream.avail_in = size;
    int result = run_stream(&stream, false, gzip, &out, &used, limit);
    inflateEnd(&stream);
    if (result == STREAM_OVER_LIMIT) {
        putlog(LOG_ERROR, "zlib: decompressed data exceeds %llu bytes",
               static_cast<unsigned long long>(limit));
        return -1;
    }
    if (result != Z_STREAM_END) {
        zlib_error(result);
        return 0;
    }
    if (used == 0) {
        // An empty body keeps no block.
        Filebuf empty;
        Swap(&empty);
        return 1;
    }
    out.Resize((int)used);
    Swap(&out);
    return 1;
}

int Filebuf::DecodeContent(const char* content_encoding, uint64_t limit) {
    if (content_encoding != NULL && strcasestr(content_encoding, "gzip") != NULL) {
        int decoded = Uncompress(FILEBUF_GZIP, limit);
        if (decoded == 1) {
            putlog(LOG_DEBUG, "decompressed gzip encoded file");
            return 1;
        }
        putlog(LOG_ERROR, "failed to decompress gzip encoded content");
        return decoded;
    }
    if (content_encoding != NULL && strcasestr(content_encoding, "deflate") != NULL) {
        int decoded = Uncompress(FILEBUF_DEFLATE, limit);
        if (decoded == 1) {
            putlog(LOG_DEBUG, "decompressed deflate encoded file");
            return 1;
        }
        putlog(LOG_ERROR, "failed to decompress deflate encoded content");
        return decoded;
    }
    putlog(LOG_WARNING, "unhandled content encoding: %s", content_encoding != NULL ? content_encoding : "");
    return 0;
}

const char* Filebuf::EncodeContent(const char* accept_encoding) {
    if (content_coding_accepted(accept_encoding, "gzip")) {
        if (Compress(FILEBUF_GZIP) == 1) {
            putlog(LOG_DEBUG, "gzip encoded file");
            return "gzip";
        }
        putlog(LOG_ERROR, "failed to gzip encoded file");
        return NULL;
    }
    if (content_coding_accepted(accept_encoding, "deflate")) {
        if (Compress(FILEBUF_DEFLATE) == 1) {
            putlog(LOG_DEBUG, "deflate encoded file");
            return "deflate";
        }
        putlog(LOG_ERROR, "failed to deflate encoded file");
        return NULL;
    }
    return NULL;
}

static bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Weight of one Accept-Encoding element's parameters (the text after the
// coding, up to the next comma): 1 without a "q" parameter, else its value;
// a value that is not a number weighs 0.
static double coding_weight(const char* parameters, const char* end) {
    const char* cursor = parameters;
    while (cursor < end) {
        const char* semicolon = (const char*)memchr(cursor, ';', (size_t)(end - cursor));
        if (semicolon == NULL)
            break;
        cursor = semicolon + 1;
        while (cursor < end && is_blank(*cursor))
            cursor++;
        if (cursor + 1 < end && (*cursor == 'q' || *cursor == 'Q')) {
            const char* value = cursor + 1;
            while (value < end && is_blank(*value))
                value++;
            if (value >= end || *value != '=')
                continue;
            value++;
            while (value < end && is_blank(*value))
                value++;
            // A qvalue has at most "1.000" characters; copy it so strtod
            // cannot read past this element.
            char number[16];
            size_t length = 0;
            while (value + length < end && length < sizeof(number) - 1 && value[length] != ';' &&
                   !is_blank(value[length]))
                length++;
            memcpy(number, value, length);
            number[length] = '\0';
            char* parsed_end;
            double weight = strtod(number, &parsed_end);
            if (parsed_end == number || *parsed_end != '\0')
                return 0;
            return weight;
        }
    }
    return 1;
}

int content_coding_accepted(const char* accept_encoding, const char* coding) {
    if (accept_encoding == NULL)
        return 0;
    bool is_gzip = strcasecmp(coding, "gzip") == 0;
    size_t coding_length = strlen(coding);
    const char* cursor = accept_encoding;
    while (*cursor != '\0') {
        const char* element_end = strchr(cursor, ',');
        if (element_end == NULL)
            element_end = cursor + strlen(cursor);
        while (cursor < element_end && is_blank(*cursor))
            cursor++;
        const char* name_end = cursor;
        while (name_end < element_end && *name_end != ';' && !is_blank(*name_end))
            name_end++;
        size_t name_length = (size_t)(name_end - cursor);
        bool named = (name_length == coding_length && strncasecmp(cursor, coding, coding_length) == 0) ||
                     (is_gzip && name_length == 6 && strncasecmp(cursor, "x-gzip", 6) == 0);
        if (named)
            return coding_weight(name_end, element_end) > 0 ? 1 : 0;
        cursor = *element_end == ',' ? element_end + 1 : element_end;
    }
    return 0;
}
