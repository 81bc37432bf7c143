// Helpers for the image-filter plug-in's tests: pictures made with libgd
// that steer the stand-in engine (tests/plugins/image_engine), and a
// fixture that builds the plug-in's section from its own definition file
// with a private error log.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <gd.h>
#include <tinyxml2.h>

#include "config/section.h"
#include "core/filebuf.h"
#include "quorvelin/engine.h"
#include "quorvelin/image_header.h"
#include "quorvelin/quorvelin.h"
#include "support/config_test_support.h"
#include "support/log_test_support.h"

namespace quorveltest {

// An encoded picture of width x height whose top-left pixel makes the
// stand-in engine answer `raw` (red * 256 + green); blue 255 makes the
// stand-in reader refuse to decode it into the BGR buffer. The rest of the
// picture is white.
inline std::string picture(ImageFormat format, int width, int height, int raw = 0, int blue = 0) {
    gdImagePtr image = format == IMAGE_GIF ? gdImageCreate(width, height)
                                           : gdImageCreateTrueColor(width, height);
    int white = gdImageColorAllocate(image, 255, 255, 255);
    gdImageFilledRectangle(image, 0, 0, width - 1, height - 1, white);
    gdImageSetPixel(image, 0, 0, gdImageColorAllocate(image, raw / 256, raw % 256, blue));
    int size = 0;
    void* bytes = format == IMAGE_GIF   ? gdImageGifPtr(image, &size)
                  : format == IMAGE_PNG ? gdImagePngPtr(image, &size)
                                        : gdImageJpegPtr(image, &size, 95);
    std::string encoded(static_cast<const char*>(bytes), static_cast<size_t>(size));
    gdFree(bytes);
    gdImageDestroy(image);
    return encoded;
}

inline Filebuf* buffer_of(const std::string& bytes) {
    Filebuf* buffer = new Filebuf();
    if (!bytes.empty())
        buffer->Add(bytes.data(), static_cast<unsigned>(bytes.size()));
    return buffer;
}

// A PNG whose header declares width x height pixels (and nothing after it
// that a decoder could use).
inline std::string png_declaring(uint32_t width, uint32_t height) {
    std::string bytes = picture(IMAGE_PNG, 60, 60);
    for (int i = 0; i < 4; i++) {
        bytes[16 + i] = static_cast<char>(width >> (24 - 8 * i));
        bytes[20 + i] = static_cast<char>(height >> (24 - 8 * i));
    }
    return bytes;
}

// Directory of a stand-in engine variant: "ready", "noinit" or "noscan".
inline std::string engine_dir(const std::string& variant) {
    return std::string(TEST_IMAGE_ENGINE_DIR) + variant;
}

// The plug-in's definition file in force, a private error log, and the
// plug-in's section (quorvelin_section) built from it, loaded from `body`
// (the elements inside <quorvelin>) by load_section.
class QuorvelinTest : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        sectionxml = new tinyxml2::XMLDocument();
        std::string path = configtest::source_dir() + "/modules/quorvelin/quorvelin.xml";
        ASSERT_EQ(sectionxml->LoadFile(path.c_str()), tinyxml2::XML_SUCCESS) << path;
        quorvelin_section = new QuorvelinSection();
        section = quorvelin_section;
    }

    void load_section(const std::string& body) {
        tinyxml2::XMLDocument doc;
        std::string xml = "<kestrivan><quorvelin>" + body + "</quorvelin></kestrivan>";
        ASSERT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << doc.ErrorStr();
        section->load(&doc, 1);
    }

    // Switched on with the engine of `variant` bound and one rule.
    void bind(const std::string& variant = "ready", const std::string& rule_profiles = "",
              const std::string& threshold = "2") {
        load_section("<enabled>true</enabled><directory>" + engine_dir(variant) +
                     "</directory><template></template><rules><enabled>true</enabled><comment/>"
                     "<profiles>" + rule_profiles + "</profiles><threshold>" + threshold +
                     "</threshold><template/></rules>");
        section->initialize_engine();
    }

    bool logged(const std::string& text) { return configtest::log_has(log_path, text); }

    QuorvelinSection* section = nullptr;
};

} // namespace quorveltest
