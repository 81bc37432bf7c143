"""Start-up with the shipped configuration files, and what a bad file does."""
import os
import re

from conftest import CONFIG, SECTIONS, read_text

SECTION_NAMES = [
    "access", "url-filtering", "prefetch", "cache", "general", "dnsbl", "network",
    "header-filtering", "templates", "cookies-filtering", "ldap", "rewrite", "icap", "fprot",
    "kaspersky", "sophie", "vantori", "external", "ftp", "profiles", "mime-filtering",
    "redirect", "keywords-filtering", "forward", "limits", "clamav", "urlblacklist",
]


def write(workdir, name, text):
    path = os.path.join(workdir, name)
    with open(path, "w") as f:
        f.write(text)
    return path


def failed_start_log(daemon):
    """Starts a daemon that must stop with status 1; returns its error log."""
    daemon.start(ready_line=None)
    assert daemon.wait() == 1
    return daemon.log()


def test_every_section_reads_the_shipped_definitions(daemon_factory):
    d = daemon_factory(extra_args=["-d", str(0x0FFFFFFF)])  # debug lines on
    d.start()
    log = d.log()
    validated = re.findall(r"debug: Validating Section: (\S+)$", log, re.M)
    assert validated == SECTION_NAMES
    assert " error: " not in log


def test_a_flawed_value_stops_startup_naming_section_field_and_value(daemon_factory, workdir):
    config = write(workdir, "flawed.xml",
                   read_text(CONFIG).replace("<timeout>60</timeout>", "<timeout>soon</timeout>"))
    log = failed_start_log(daemon_factory(config=config))
    assert ("error: flawed XML file, section general, element general: timeout must be "
            "an integer, but it is given value soon\n") in log
    assert "advice: ASSERTION: src/section:402 in function error_log\n" in log
    assert "proxy hostname:" not in log


def test_a_truncated_configuration_stops_startup(daemon_factory, workdir):
    text = read_text(CONFIG)
    config = write(workdir, "truncated.xml", text[:text.index("</access>")])
    log = failed_start_log(daemon_factory(config=config))
    assert "error: configuration file %s cannot be loaded: " % config in log
    assert "advice: ASSERTION: src/main:1184 in function config_load\n" in log


def test_an_unknown_section_is_reported_and_startup_goes_on(daemon_factory, workdir):
    config = write(workdir, "extra.xml",
                   read_text(CONFIG).replace("</kestrivan>", "<bogus><x>1</x></bogus></kestrivan>"))
    d = daemon_factory(config=config)
    d.start()
    assert "error: configuration file %s: unknown section bogus is ignored\n" % config in d.log()


def test_a_definition_file_without_a_section_stops_startup(daemon_factory, workdir):
    text = read_text(SECTIONS)
    start, end = text.index("  <ldap>"), text.index("</ldap>") + len("</ldap>")
    sections = write(workdir, "sections.xml", text[:start] + text[end:])
    log = failed_start_log(daemon_factory(sections=sections))
    assert ("error: section-definition file, section ldap: the file has no element for "
            "this section\n") in log
    assert "advice: ASSERTION: src/section:987 in function Section\n" in log
