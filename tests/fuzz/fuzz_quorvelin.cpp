// Fuzz target of the image filter's two parsers: the image header read
// before any decoding, and the tune file.
#include <stdint.h>
#include <string.h>

#include <initializer_list>

#include "fuzz_check.h"
#include "quorvelin/image_header.h"
#include "quorvelin/tune.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32_t width = 12345, height = 54321;
    ImageFormat format = image_header_read(data, size, &width, &height);
    if (format == IMAGE_UNKNOWN)
        FUZZ_CHECK(width == 12345 && height == 54321);
    if (format == IMAGE_GIF)
        FUZZ_CHECK(width <= 65535 && height <= 65535);
    // The limit check never overflows: at most 2^32 - 1 pixels pass it.
    if (image_pixels_allowed(width, height, 4294967295u))
        FUZZ_CHECK(static_cast<uint64_t>(width) * height <= 4294967295u);

    TuneTable table;
    table.set_default();
    TuneTable before = table;
    if (tune_parse(reinterpret_cast<const char*>(data), size, "fuzz", &table) == 0) {
        FUZZ_CHECK(table.count >= 1 && table.count <= TUNE_MAX);
        for (int i = 0; i + 1 < table.count; i++) {
            FUZZ_CHECK(table.thresholds[i] < table.thresholds[i + 1]);
            FUZZ_CHECK(table.sensitivities[i] > table.sensitivities[i + 1]);
        }
        // Every threshold gets a sensitivity between the table's ends.
        for (float threshold : {-1e30f, -10.0f, -0.5f, 0.0f, 3.25f, 10.0f, 1e30f}) {
            int sensitivity = table.sensitivity(threshold);
            FUZZ_CHECK(sensitivity <= table.sensitivities[0]);
            FUZZ_CHECK(sensitivity >= table.sensitivities[table.count - 1]);
        }
    } else {
        FUZZ_CHECK(memcmp(&table, &before, sizeof table) == 0);
    }
    return 0;
}
