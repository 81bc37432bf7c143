#include "quorvelin/score_image.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include <gd.h>
#include <gdfontg.h>
#include <gdfontmb.h>
#include <gdfontt.h>

#include "core/extensions.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "core/mem.h"
#include "iface/templates.h"
#include "net/connection.h"
#include "quorvelin/image_header.h"
#include "quorvelin/quorvelin.h"

namespace {

// Images larger than this either way get the medium bold font.
const int SMALL_IMAGE = 149;

const char BLOCKED_MARK[] = "!! BLOCKED !!";

std::string variable(const CONNECTION_T* connection, const char* name) {
    auto found = connection->variables.find(name);
    return found != connection->variables.end() ? found->second : std::string();
}

void set_signed(CONNECTION_T* connection, const char* name, double value) {
    char text[32];
    snprintf(text, sizeof text, "%+0.4f", value);
    connection->variables[name] = text;
}

gdImagePtr decode(ImageFormat format, const Filebuf* body) {
    void* data = body->data;
    int size = static_cast<int>(body->size);
    switch (format) {
    case IMAGE_GIF:
        return gdImageCreateFromGifPtr(size, data);
    case IMAGE_PNG:
        return gdImageCreateFromPngPtr(size, data);
    case IMAGE_JPEG:
        return gdImageCreateFromJpegPtr(size, data);
    default:
        return nullptr;
    }
}

// The encoded image and its content type; NULL when libgd cannot encode it.
void* encode(gdImagePtr image, ImageFormat format, int* size, const char** content_type) {
    switch (format) {
    case IMAGE_GIF:
        *content_type = "image/gif";
        return gdImageGifPtr(image, size);
    case IMAGE_PNG:
        *content_type = "image/png";
        return gdImagePngPtr(image, size);
    default:
        *content_type = "image/jpeg";
        return gdImageJpegPtr(image, size, -1); // libgd's default quality
    }
}

// The four lines, each over a light band, from the top; a line that does
// not fit in width or height ends the drawing. The height of the lines
// drawn (one line's height when none was).
int draw_lines(gdImagePtr image, gdFontPtr font, int text_colour, int band_colour,
               const std::string lines[4]) {
    int width = gdImageSX(image), height = gdImageSY(image);
    int fw = font->w, fh = font->h;
    for (int k = 1; k <= 4; k++) {
        int length = static_cast<int>(lines[k - 1].size());
        if (fw * (length + 1) > width - fw || (k + 1) * fh > height)
            return k * fh;
        gdImageLine(image, fw / 2, k * fh + fh / 2, fw * (length + 1), k * fh + fh / 2, band_colour);
        gdImageString(image, font, fw, k * fh,
                      reinterpret_cast<unsigned char*>(const_cast<char*>(lines[k - 1].c_str())),
                      text_colour);
    }
    return 4 * fh;
}

} // namespace

Filebuf* make_image(CONNECTION_T* connection, const Filebuf* body, bool allowed,
                    uint32_t max_pixels) {
    uint32_t declared_width = 0, declared_height = 0;
    ImageFormat format = body->data == nullptr
                             ? IMAGE_UNKNOWN
                             : image_header_read(reinterpret_cast<const unsigned char*>(body->data),
                                                 body->size, &declared_width, &declared_height);
    if (format != IMAGE_UNKNOWN && !image_pixels_allowed(declared_width, declared_height, max_pixels)) {
        putlog(LOG_MODULE, "quorvelin: image declares %u x %u pixels, more than %u: not drawn",
               declared_width, declared_height, max_pixels);
        return nullptr;
    }
    gdImagePtr image = decode(format, body);
    if (image == nullptr) {
        putlog(LOG_ERROR, "im failed");
        return nullptr;
    }

    int width = gdImageSX(image), height = gdImageSY(image);
    int text_colour = allowed ? gdImageColorResolveAlpha(image, 0, 0, 127, 0)
                              : gdImageColorResolveAlpha(image, 127, 0, 0, 0);
    gdFontPtr font = width > SMALL_IMAGE && height > SMALL_IMAGE ? gdFontGetMediumBold() : gdFontGetTiny();
    // White, partly transparent (libgd's alpha runs from 0 opaque to 127).
    int band_colour = gdImageColorResolveAlpha(image, 255, 255, 255, 70);
    gdImageSetAntiAliased(image, band_colour);
    gdImageSetThickness(image, font->h);

    const std::string lines[4] = {
        "Score " + variable(connection, "IMAGESCORE"),
        "Threshold " + variable(connection, "IMAGETHRESHOLD"),
        "eSensitivity " + variable(connection, "ENGINE_SENSITIVITY"),
        "Scan Result " + variable(connection, "SCAN_RESULT"),
    };
    int drawn = draw_lines(image, font, text_colour, band_colour, lines);

    gdFontPtr giant = gdFontGetGiant();
    int y = height / 2 - giant->h / 2 + drawn / 2;
    if (!allowed && giant->h <= y / 2) {
        int mark_length = static_cast<int>(strlen(BLOCKED_MARK));
        gdImageString(image, giant, width / 2 - (mark_length * giant->w) / 2, y,
                      reinterpret_cast<unsigned char*>(const_cast<char*>(BLOCKED_MARK)), text_colour);
    }

    int size = 0;
    const char* content_type = nullptr;
    void* encoded = encode(image, format, &size, &content_type);
    gdImageDestroy(image);
    if (encoded == nullptr || size <= 0) {
        gdFree(encoded);
        putlog(LOG_ERROR, "quorvelin: the score image could not be encoded as %s", content_type);
        return nullptr;
    }
    Filebuf* result = new Filebuf();
    result->Add(static_cast<const char*>(encoded), static_cast<unsigned>(size));
    gdFree(encoded);
    result->content_type = xstrdup(content_type);
    if (result->content_type == nullptr)
        FATAL_ALLOC("quorvelin/score_image", strlen(content_type) + 1);
    return result;
}

bool send_image(CONNECTION_T* connection, Filebuf* image, bool allowed) {
    if (!send_own_page(connection, 200, image->content_type, nullptr, image))
        return false;
    // The client always gets 200; only the log tells an image that would
    // have been blocked.
    if (!allowed)
        connection->log.status = 404;
    return true;
}

namespace {

// The response checks of the daemon's own sections still decide first:
// the score image must not carry a body that another check refuses. Runs
// them as the road would (stopping at the first that blocks, which has
// answered the client) and records the refusal as the road does.
bool other_check_blocked(CONNECTION_T* connection, Filebuf* body) {
    for (const Processor& processor : processors.list) {
        if (processor.stage != PROCESSOR_RESPCHECK || processor.fn == quorvelin_respcheck)
            continue;
        if (processor.fn(connection, body) == 1) {
            connection->log.set_cachecode(CACHECODE_TCP_DENIED);
            connection->log.status = 403;
            return true;
        }
    }
    return false;
}

} // namespace

bool QuorvelinSection::show_score(CONNECTION_T* connection, Filebuf* body) {
    if ((connection->flags & CONN_NO_CLIENT) || connection->client == nullptr)
        return false;
    read_lock();
    const Quorvelin* rule = find(connection);
    if (rule == nullptr) {
        unlock();
        return false;
    }
    double threshold = rule->threshold;
    std::string page = block_page(*rule);
    uint32_t limit = *max_pixels;
    unlock();

    float score = scan_image(connection, body, static_cast<float>(threshold));
    if (score == IMAGE_NOT_SCANNED)
        return false;
    set_signed(connection, "IMAGETHRESHOLD", threshold);
    set_signed(connection, "IMAGESCORE", score);
    bool allowed = static_cast<double>(score) < threshold;
    // An image the filter would block is shown only to a client whose
    // access rule lets it bypass filters anyway; any other gets the block
    // page, as without the command.
    bool shown = allowed || (connection->access & ACCESS_BYPASS);

    Filebuf* image = nullptr;
    if (shown) {
        image = make_image(connection, body, allowed, limit);
        if (image == nullptr)
            return false;
    }
    if (other_check_blocked(connection, body)) {
        delete image;
        return true;
    }
    if (!shown) {
        block_image(connection, page, threshold, score);
        return true;
    }
    bool sent = send_image(connection, image, allowed);
    delete image;
    return sent;
}
