// Scoring one image with the engine, and the response check that blocks
// images at or over the threshold.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "http/header.h"
#include "http/url_commands.h"
#include "net/connection.h"
#include "quorvelin/engine.h"
#include "quorvelin/image_header.h"
#include "quorvelin/quorvelin.h"

namespace {

// Images narrower or lower than this are never scored.
const int SMALLEST_SCORED = 50;

// Bytes per pixel a reader's buffer may take at most; a larger buffer size
// for the pixels it reported is refused rather than allocated.
const uint64_t BUFFER_BYTES_PER_PIXEL = 4;

// The page that replaces a blocked image when neither the rule nor the
// section names one: a small checkered GIF.
const char* const BUILTIN_BLOCK_PAGE = "checkeredgif";

void set_number(CONNECTION_T* connection, const char* name, long value) {
    connection->variables[name] = std::to_string(value);
}

const char* request_url(const CONNECTION_T* connection) {
    const HEADER* request = connection->request;
    return request != nullptr && request->url != nullptr ? request->url : "-";
}

// A body whose header declares more pixels than allowed is not handed to
// any decoder: a few bytes can declare gigabytes of pixels.
bool declared_size_allowed(const Filebuf* body, uint32_t max_pixels) {
    uint32_t width = 0, height = 0;
    ImageFormat format = image_header_read(reinterpret_cast<const unsigned char*>(body->data),
                                           body->size, &width, &height);
    if (format == IMAGE_UNKNOWN || image_pixels_allowed(width, height, max_pixels))
        return true;
    putlog(LOG_MODULE, "quorvelin: image declares %u x %u pixels, more than %u: not scanned",
           width, height, max_pixels);
    return false;
}

} // namespace

float QuorvelinSection::score_map(float raw) {
    // The segments (x0, y0) to (x1, y1) of the piecewise linear map.
    static const struct {
        float x0, y0, x1, y1;
    } segments[] = {
        {0, -10, 300, -2},
        {300, -2, 600, 0},
        {600, 0, 6000, 2},
        {6000, 2, 10000, 10},
    };
    if (raw <= 0)
        return -10;
    for (const auto& s : segments)
        if (raw < s.x1) {
            long double k = (static_cast<long double>(s.y1) - s.y0) / 2;
            return static_cast<float>(s.y0 + k * (2 * (static_cast<long double>(raw) - s.x0) /
                                                  (static_cast<long double>(s.x1) - s.x0)));
        }
    return 10;
}

float QuorvelinSection::scan_image(CONNECTION_T* connection, Filebuf* body, float threshold) const {
    int sensitivity = engine_tune(threshold);
    if (body == nullptr || body->data == nullptr || body->size == 0) {
        putlog(LOG_ERROR, "module: quorvelin: Data not avaialble.");
        return IMAGE_NOT_SCANNED;
    }
    uint32_t limit = atomic_read(max_pixels);
    if (!declared_size_allowed(body, limit)) {
        scan_incomplete(connection);
        return IMAGE_NOT_SCANNED;
    }

    const unsigned char* data = reinterpret_cast<const unsigned char*>(body->data);
    int size = static_cast<int>(body->size);
    int width = 0, height = 0, buffer_size = 0;
    if (!CheckIfImageIsValid(data, size, &width, &height, &buffer_size)) {
        putlog(LOG_ERROR, "module: quorvelin: Image is not valid image.");
        putlog(LOG_ERROR, "quorvelin: image width x height: [%d x %d], size:[%ld bytes], ImageBuffer_size[%ld]",
               width, height, static_cast<long>(size), static_cast<long>(buffer_size));
        return IMAGE_NOT_SCANNED;
    }
    if (width < SMALLEST_SCORED || height < SMALLEST_SCORED)
        return IMAGE_NOT_SCANNED;
    // What the reader reports is checked as well: a reader that reads a
    // format not recognised above, or that reports no buffer at all, must
    // not make the filter allocate nothing or without bound.
    uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (!image_pixels_allowed(static_cast<uint32_t>(width), static_cast<uint32_t>(height), limit) ||
        buffer_size <= 0 || buffer_size == INT_MAX ||
        static_cast<uint64_t>(buffer_size) > pixels * BUFFER_BYTES_PER_PIXEL) {
        putlog(LOG_ERROR, "quorvelin: image reader reported %d x %d pixels in a buffer of %d bytes: not scanned",
               width, height, buffer_size);
        scan_incomplete(connection);
        return IMAGE_NOT_SCANNED;
    }

    int capacity = buffer_size + 1;
    unsigned char* buffer = static_cast<unsigned char*>(xmalloc(static_cast<size_t>(capacity)));
    if (buffer == nullptr) {
        scan_incomplete(connection);
        return IMAGE_NOT_SCANNED;
    }
    int raw = 0;
    if (DecodeImageIntoBGRBuffer(data, size, buffer, capacity))
        raw = CheckForVisualVirusFromBGRBuffer2(buffer, capacity, width, height, sensitivity, -1);
    else {
        // Scored as harmless, but no verdict of the engine: the cached copy
        // is not marked as checked.
        putlog(LOG_ERROR, "module: quorvelin: Image is not able Decode into BGR Buffer Function");
        scan_incomplete(connection);
    }
    free(buffer);

    float score = score_map(static_cast<float>(raw));
    set_number(connection, "ENGINE_SENSITIVITY", sensitivity);
    set_number(connection, "SCAN_RESULT", raw);
    connection->variables["IMAGE_DIM"] = std::to_string(width) + " x " + std::to_string(height);
    set_number(connection, "IMAGE_SIZE", size);

    bool allow = threshold > score;
    putlog(allow ? LOG_DEBUG : LOG_MODULE,
           "quorvelin: %s URL:[%s] EngineSensitivity:[%d] scan_result:[%d] score:[%.6f] "
           "threshold:[%.6f] image [w x h: %d x %d], size:[%ld bytes]",
           allow ? "allow:" : "block:", request_url(connection), sensitivity, raw,
           static_cast<double>(score), static_cast<double>(threshold), width, height,
           static_cast<long>(size));
    return score;
}

bool QuorvelinSection::check_match(CONNECTION_T* connection) const {
    read_lock();
    bool applies = find(connection) != nullptr;
    unlock();
    if (!applies)
        return false;
    // The score image is drawn for every image asked for, cached or not.
    if (url_command_find(connection->url_commands, "imgscore") != nullptr)
        return true;
    if (scan_cached_clean(connection)) {
        putlog(LOG_DEBUG, "quorvelin: cached image already checked");
        return false;
    }
    return true;
}

std::string QuorvelinSection::block_page(const Quorvelin& rule) const {
    return block_page_choose(rule.template_name, *template_name, BUILTIN_BLOCK_PAGE);
}

int QuorvelinSection::block_image(CONNECTION_T* connection, const std::string& page,
                                  double threshold, float score) const {
    char score_text[32], threshold_text[32];
    snprintf(score_text, sizeof score_text, "%.6f", static_cast<double>(score));
    snprintf(threshold_text, sizeof threshold_text, "%.6f", threshold);
    BlockNotice notice;
    notice.label = "Image Filter";
    notice.has_reason = true;
    notice.reason = score_text;
    // The built-in page "quorvelin" shows the score beside the threshold.
    notice.variables = {{"IMAGETHRESHOLD", threshold_text}, {"IMAGESCORE", score_text}};
    notice.page = page;
    notice.filter_name = "image-filter";
    notice.log_reason = score_text;
    block_send(connection, notice);
    return SCAN_BLOCKED;
}

int QuorvelinSection::check_and_block(CONNECTION_T* connection, Filebuf* body) const {
    read_lock();
    const Quorvelin* rule = find(connection);
    if (rule == nullptr || scan_cached_clean(connection)) {
        unlock();
        return SCAN_PASS;
    }
    std::string page = block_page(*rule);
    double threshold = rule->threshold;
    unlock();

    float score = scan_image(connection, body, static_cast<float>(threshold));
    if (score == IMAGE_NOT_SCANNED || static_cast<double>(score) < threshold)
        return SCAN_PASS;
    return block_image(connection, page, threshold, score);
}
