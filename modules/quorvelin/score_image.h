// The score image of the URL command "imgscore": a copy of the image with
// its score, the rule's threshold, the engine sensitivity and the engine's
// raw result written on it, and "!! BLOCKED !!" across it when it would be
// blocked. Drawn and re-encoded with libgd in the format it came in.
//
// Only GIF, PNG and JPEG are drawn, and only when the header declares no
// more pixels than the section's "maxpixels" (checked before libgd decodes
// anything). The libgd image and the result are private to the call.
#pragma once

#include <stdint.h>

struct CONNECTION_T;
class Filebuf;

// Decodes the body, draws the four text lines from the connection's
// template variables IMAGESCORE, IMAGETHRESHOLD, ENGINE_SENSITIVITY and
// SCAN_RESULT (dark blue when allowed, dark red with the blocked mark when
// not) and encodes it again. A new buffer with its content type
// ("image/gif", "image/png", "image/jpeg") owned by the caller, or NULL
// (logged) when the body cannot be drawn.
Filebuf* make_image(CONNECTION_T* connection, const Filebuf* body, bool allowed,
                    uint32_t max_pixels);

// Sends the image as the whole response: status 200, its content type,
// Cache-Control "no-cache". The access-log record names a direct miss
// served by "kestrivan" with status 200, or 404 when the image would be
// blocked. False (nothing sent) when there is no client.
bool send_image(CONNECTION_T* connection, Filebuf* image, bool allowed);
