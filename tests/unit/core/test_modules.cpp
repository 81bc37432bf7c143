// The module loader with real plug-in modules built by the test build
// (tests/plugins): which files are taken, the entry and definition file of
// each, and that a module which refuses leaves nothing behind.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <filesystem>
#include <list>
#include <string>

#include "config/section.h"
#include "core/daemon.h"
#include "core/extensions.h"
#include "core/misc.h"
#include "core/modules.h"
#include "support/config_test_support.h"

using configtest::ProbeSection;
using configtest::log_has;

namespace {

const std::string GOOD_DEFINITION =
    "<section><kvtest_good><comment>Test module</comment><desc>Loaded from a plug-in</desc>"
    "<global>" + configtest::field("enabled", 0, "BOOL", "true") + "</global></kvtest_good></section>";

class ModulesTest : public logtest::LogDirTest {
protected:
    void SetUp() override {
        LogDirTest::SetUp();
        configtest::use_definition(configtest::demo_definition());
        main_definition = sectionxml;
        demo = new ProbeSection("demo");
        modules = dir + "/modules/";
        std::filesystem::create_directory(modules);
        s_strncpy(moduledir, modules.c_str(), sizeof moduledir);
    }

    // Copies a built plug-in into the module directory under `as`.
    void install(const std::string& plugin, const std::string& as) {
        std::filesystem::copy_file(std::string(TEST_PLUGIN_DIR) + "lib" + plugin + ".so",
                                   modules + as);
    }

    void write(const std::string& name, const std::string& text) {
        configtest::write_file(modules + name, text);
    }

    static bool same_hooks(const std::list<Hook>& a, const std::list<Hook>& b) {
        if (a.size() != b.size())
            return false;
        for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y)
            if (x->fn != y->fn || x->point != y->point)
                return false;
        return true;
    }

    static bool library_open(const std::string& path) {
        void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (handle == nullptr)
            return false;
        dlclose(handle);
        return true;
    }

    std::string modules;
    tinyxml2::XMLDocument* main_definition = nullptr;
    ProbeSection* demo = nullptr;
};

} // namespace

TEST_F(ModulesTest, OnlyRegularSoFilesAreLoadedWithTheirOwnDefinitions) {
    install("kvtest_good", "libkvtest_good.so");
    install("kvtest_good", "kvtest_good.so.1");
    write("notes.txt", "not a module");
    std::filesystem::create_directory(modules + "folder.so");
    write("kvtest_good.xml", GOOD_DEFINITION);

    size_t hooks_before = hooks.list.size();
    modules_load();

    EXPECT_TRUE(log_has(log_path, "module: loaded " + modules + "libkvtest_good.so"))
        << logtest::read_file(log_path);
    EXPECT_EQ(logtest::read_file(log_path).find("kvtest_good.so.1"), std::string::npos);
    EXPECT_EQ(logtest::read_file(log_path).find("folder.so"), std::string::npos);
    EXPECT_EQ(sectionxml, main_definition); // the main definitions are current again
    ASSERT_EQ(Section::map.count("kvtest_good"), 1u);
    Section* loaded = Section::map["kvtest_good"];
    EXPECT_EQ(loaded->comment, "Test module"); // read from the module's own file
    ASSERT_EQ(loaded->globals.size(), 1u);
    EXPECT_EQ(hooks.list.size(), hooks_before + 1);
    // The module's callback runs from the executable's registry.
    EXPECT_EQ(hooks.Execute(HOOK_CONFIGURE, nullptr, nullptr), 41);
    EXPECT_EQ(protocols.Execute("kvtest", nullptr), 41);
}

TEST_F(ModulesTest, AModuleThatRefusesLeavesNoRegistrationBehind) {
    install("kvtest_refuse", "kvtest_refuse.so");
    write("kvtest_refuse.xml", configtest::demo_definition());
    size_t hooks_before = hooks.list.size();
    std::list<Hook> hooks_saved = hooks.list;
    size_t processors_before = processors.list.size();
    size_t protocols_before = protocols.list.size();
    size_t sections_before = Section::map.size();

    EXPECT_EQ(module_load("kvtest_refuse", (modules + "kvtest_refuse.so").c_str(),
                          (modules + "kvtest_refuse.xml").c_str()),
              0);

    EXPECT_TRUE(log_has(log_path, "module: error: failed to load " + modules + "kvtest_refuse.so"));
    EXPECT_EQ(hooks.list.size(), hooks_before);
    EXPECT_EQ(processors.list.size(), processors_before);
    EXPECT_EQ(protocols.list.size(), protocols_before);
    EXPECT_EQ(Section::map.size(), sections_before);
    // Its section took the name "demo": the built-in one is registered again.
    EXPECT_EQ(Section::map["demo"], demo);
    EXPECT_TRUE(same_hooks(hooks.list, hooks_saved)); // the very callbacks of before
    EXPECT_FALSE(library_open(modules + "kvtest_refuse.so"));
    EXPECT_EQ(sectionxml, main_definition);
}

TEST_F(ModulesTest, ALibraryWithoutItsEntryIsSkipped) {
    install("kvtest_noentry", "libkvtest_noentry.so");
    write("kvtest_noentry.xml", GOOD_DEFINITION);
    size_t hooks_before = hooks.list.size();
    modules_load();
    // The loader's own error text, then the library path and a blank.
    const std::string tail = " loading " + modules + "libkvtest_noentry.so ";
    bool reported = false;
    for (const std::string& line : logtest::file_lines(log_path))
        reported |= line.find("module: error: ") != std::string::npos &&
                    line.find("kvtest_noentry_load") != std::string::npos &&
                    line.size() > tail.size() &&
                    line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    EXPECT_TRUE(reported) << logtest::read_file(log_path);
    EXPECT_EQ(hooks.list.size(), hooks_before);
    EXPECT_EQ(Section::map.count("kvtest_noentry"), 0u);
}

TEST_F(ModulesTest, AMissingOrMalformedDefinitionFileKeepsTheModuleOut) {
    struct Case {
        const char* what;
        const char* definition; // NULL: no file
    };
    const Case cases[] = {
        {"missing", nullptr},
        {"malformed", "<section><kvtest_good><comment>C</comment>"},
    };
    int reports = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(modules);
        std::filesystem::create_directory(modules);
        install("kvtest_good", "libkvtest_good.so");
        if (c.definition != nullptr)
            write("kvtest_good.xml", c.definition);
        modules_load();
        int seen = 0;
        for (const std::string& line : logtest::file_lines(log_path))
            seen += line.find("error: module: Error: ") != std::string::npos &&
                    line.find(" when parsing " + modules + "kvtest_good.xml") != std::string::npos;
        EXPECT_EQ(seen, ++reports) << logtest::read_file(log_path);
        EXPECT_FALSE(library_open(modules + "libkvtest_good.so"));
        EXPECT_EQ(Section::map.count("kvtest_good"), 0u);
        EXPECT_EQ(sectionxml, main_definition);
    }
}

TEST_F(ModulesTest, UnreadableDirectoryAndBrokenLibraryAreLoggedAndSkipped) {
    write("broken.so", "this is no shared object");
    modules_load();
    bool reported = false;
    for (const std::string& line : logtest::file_lines(log_path))
        reported |= line.find("module: error: ") != std::string::npos &&
                    line.find(" failed to load " + modules + "broken.so") != std::string::npos;
    EXPECT_TRUE(reported) << logtest::read_file(log_path);

    std::string missing = dir + "/nowhere/";
    s_strncpy(moduledir, missing.c_str(), sizeof moduledir);
    modules_load();
    EXPECT_TRUE(log_has(log_path, "module: error: cannot read module directory " + missing));
}
