// Binding the image-analysis engine (the stand-in libraries of
// tests/plugins/image_engine) and the section's start-up.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/extensions.h"
#include "support/quorvelin_test_support.h"

namespace {

using quorveltest::engine_dir;

class EngineTest : public quorveltest::QuorvelinTest {};

TEST_F(EngineTest, TheReadyEngineIsBoundAndInitialised) {
    bind("ready");
    EXPECT_TRUE(section->ready);
    EXPECT_NE(hIAEngine, nullptr);
    EXPECT_NE(hIAImageReader, nullptr);
    for (void* function : {reinterpret_cast<void*>(CheckIfImageIsValid),
                           reinterpret_cast<void*>(DecodeImageIntoBGRBuffer),
                           reinterpret_cast<void*>(DeInitializeEngine),
                           reinterpret_cast<void*>(CheckForVisualVirusFromBGRBuffer2),
                           reinterpret_cast<void*>(InitializeEngine)})
        EXPECT_NE(function, nullptr);
    std::string dir = engine_dir("ready");
    EXPECT_TRUE(logged("debug: quorvelin: Engine[" + dir + "/libIAEngineShared.so] Imgreader[" + dir +
                       "/libIAImageReaderShared.so]"));
    EXPECT_TRUE(logged("quorvelin: Engine initialized"));
}

TEST_F(EngineTest, BindingFailuresLeaveTheFilterOff) {
    // Each case in a copy of a variant's directory, so a library can be
    // left out.
    struct Case {
        const char* variant;
        bool without_reader;
        bool without_engine;
        std::string message;
    } cases[] = {
        {"ready", true, false, "quorvelin: library not found: %s/libIAImageReaderShared.so"},
        {"ready", false, true, "quorvelin: library not found: %s/libIAEngineShared.so"},
        {"noinit", false, false, "quorvelin: Failed to initialize the Engine."},
        {"noscan", false, false,
         "quorvelin: Failed to get the address of 'CheckForVisualVirusFromBGRBuffer' function - "},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string copy = dir + "/engine" + std::to_string(n++);
        std::filesystem::create_directory(copy);
        if (!c.without_engine)
            std::filesystem::copy(engine_dir(c.variant) + "/libIAEngineShared.so", copy);
        if (!c.without_reader)
            std::filesystem::copy(engine_dir(c.variant) + "/libIAImageReaderShared.so", copy);
        section->ready = false;
        load_section("<directory>" + copy + "</directory>");
        section->initialize_engine();
        EXPECT_FALSE(section->ready) << c.variant;
        char message[1024];
        snprintf(message, sizeof message, c.message.c_str(), copy.c_str());
        bool found = false;
        for (const std::string& line : logtest::file_lines(log_path))
            found = found || line.find(message) != std::string::npos;
        EXPECT_TRUE(found) << message;
    }
}

TEST_F(EngineTest, ALibraryThatIsNoLibraryIsRefused) {
    configtest::write_file(dir + "/libIAEngineShared.so", "not a library");
    configtest::write_file(dir + "/libIAImageReaderShared.so", "not a library");
    load_section("<directory>" + dir + "</directory>");
    section->initialize_engine();
    EXPECT_FALSE(section->ready);
    bool found = false;
    for (const std::string& line : logtest::file_lines(log_path))
        found = found || line.find("quorvelin: Error in loading Engine library ") != std::string::npos;
    EXPECT_TRUE(found);
}

TEST_F(EngineTest, StartUpReadsTheTuneFileBesideTheEngine) {
    std::string copy = dir + "/engine";
    std::filesystem::copy(engine_dir("ready"), copy);
    configtest::write_file(copy + "/quorvelin.tune", "T=0:10\nE=90:10\n");
    load_section("<directory>" + copy + "</directory>");
    EXPECT_EQ(quorvelin_initialize(nullptr, nullptr), 0);
    EXPECT_TRUE(section->ready);
    EXPECT_EQ(section->engine_tune(5), 50);
    EXPECT_TRUE(logged("modules: quorvelin: tuned from file [" + copy + "/quorvelin.tune]"));

    // Without a tune file the defaults apply.
    unlink((copy + "/quorvelin.tune").c_str());
    EXPECT_EQ(section->initialize_array(), -1);
    EXPECT_EQ(section->engine_tune(5), 59);
    EXPECT_TRUE(logged("modules: quorvelin: tunefile not found: " + copy + "/quorvelin.tune"));
}

TEST_F(EngineTest, TheSectionRegistersItsCallbacksInOrder) {
    ASSERT_EQ(quorvelin_load(), true);
    EXPECT_TRUE(logged("quorvelin: initializing"));
    std::vector<int> stages;
    for (const Processor& processor : processors.list)
        if (processor.fn == quorvelin_respcheck || processor.fn == quorvelin_buffcheck)
            stages.push_back(processor.stage);
    EXPECT_EQ(stages, (std::vector<int>{PROCESSOR_RESPCHECK, PROCESSOR_BUFFCHECK}));
    int points = 0;
    for (const Hook& hook : hooks.list) {
        if (hook.fn == quorvelin_prerespmod) {
            EXPECT_EQ(hook.point, HOOK_PRERESPMOD);
            points++;
        }
        if (hook.fn == quorvelin_initialize) {
            EXPECT_EQ(hook.point, HOOK_CONFIGURE);
            points++;
        }
    }
    EXPECT_EQ(points, 2);
    EXPECT_FALSE(quorvelin_section->ready);
    EXPECT_EQ(Section::map["quorvelin"], quorvelin_section);
}

TEST_F(EngineTest, RulesAreRebuiltFromTheEntriesByPosition) {
    load_section("<enabled>true</enabled>"
                 "<rules><enabled>true</enabled><comment>kids</comment><profiles>kids,!staff</profiles>"
                 "<threshold>-1.5</threshold><template>nope</template></rules>"
                 "<rules><enabled>false</enabled><comment/><profiles/><threshold>3</threshold>"
                 "<template/></rules>");
    ASSERT_EQ(section->rules.size(), 2u);
    const Quorvelin& first = section->rules.front();
    EXPECT_EQ(first.enabled, 1);
    EXPECT_EQ(first.comment, "kids");
    EXPECT_EQ(first.profiles, StringList("kids,!staff", ','));
    EXPECT_DOUBLE_EQ(first.threshold, -1.5);
    EXPECT_EQ(first.template_name, "nope");
    EXPECT_EQ(section->rules.back().enabled, 0);
    EXPECT_TRUE(section->is_enabled());
    EXPECT_EQ(*section->max_pixels, 16777216u);
}

} // namespace
