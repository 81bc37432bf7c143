// Costs of the image filter's own work on an image of common web sizes:
// reading the declared size, scoring through the engine binding (here the
// stand-in engine of tests/plugins/image_engine, whose libgd decoding
// stands for the vendor reader's), and drawing the score image (libgd
// decode, annotate, encode). Run through scripts/bench.sh, never by the
// tests.
#include <benchmark/benchmark.h>

#include <string>

#include <gd.h>
#include <tinyxml2.h>

#include "config/section.h"
#include "core/filebuf.h"
#include "core/log.h"
#include "net/connection.h"
#include "quorvelin/image_header.h"
#include "quorvelin/quorvelin.h"
#include "quorvelin/score_image.h"

namespace {

// A photo-like picture (a gradient with noise, so that it compresses as
// photos do) encoded as PNG or JPEG.
std::string picture(bool jpeg, int width, int height) {
    gdImagePtr image = gdImageCreateTrueColor(width, height);
    unsigned noise = 12345;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            noise = noise * 1103515245 + 12345;
            int n = (noise >> 16) & 31;
            gdImageSetPixel(image, x, y,
                            gdTrueColor((x * 255 / width + n) & 255, (y * 255 / height) & 255, n * 4));
        }
    int size = 0;
    void* bytes = jpeg ? gdImageJpegPtr(image, &size, 80) : gdImagePngPtr(image, &size);
    std::string encoded(static_cast<const char*>(bytes), static_cast<size_t>(size));
    gdFree(bytes);
    gdImageDestroy(image);
    return encoded;
}

const std::string& photo(bool jpeg) {
    static const std::string png_photo = picture(false, 640, 480);
    static const std::string jpeg_photo = picture(true, 640, 480);
    return jpeg ? jpeg_photo : png_photo;
}

// The plug-in's section from its own definition, bound to the stand-in
// engine, once per process.
QuorvelinSection* bound_section() {
    static QuorvelinSection* section = [] {
        loglevel = 0; // the verdict lines are not what is measured
        sectionxml = new tinyxml2::XMLDocument();
        sectionxml->LoadFile(QUORVELIN_DEFINITION);
        QuorvelinSection* made = new QuorvelinSection();
        *made->directory = std::string(TEST_IMAGE_ENGINE_DIR) + "ready";
        *made->enabled = 1;
        made->initialize_engine();
        made->tune.set_default();
        return made;
    }();
    return section;
}

void BM_DeclaredSize(benchmark::State& state) {
    const std::string& bytes = photo(state.range(0) == 1);
    uint32_t width, height;
    for (auto _ : state)
        benchmark::DoNotOptimize(image_header_read(
            reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &width, &height));
}
BENCHMARK(BM_DeclaredSize)->Arg(0)->Arg(1);

void BM_ScoreImage(benchmark::State& state) {
    QuorvelinSection* section = bound_section();
    Filebuf body;
    const std::string& bytes = photo(state.range(0) == 1);
    body.Add(bytes.data(), static_cast<unsigned>(bytes.size()));
    CONNECTION_T* connection = connection_new();
    for (auto _ : state)
        benchmark::DoNotOptimize(section->scan_image(connection, &body, 2));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ScoreImage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_DrawScoreImage(benchmark::State& state) {
    Filebuf body;
    const std::string& bytes = photo(state.range(0) == 1);
    body.Add(bytes.data(), static_cast<unsigned>(bytes.size()));
    CONNECTION_T* connection = connection_new();
    connection->variables["IMAGESCORE"] = "+6.0000";
    connection->variables["IMAGETHRESHOLD"] = "+2.0000";
    connection->variables["ENGINE_SENSITIVITY"] = "65";
    connection->variables["SCAN_RESULT"] = "8000";
    for (auto _ : state)
        delete make_image(connection, &body, false, 16777216);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DrawScoreImage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
