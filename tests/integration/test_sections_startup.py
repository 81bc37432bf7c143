"""Start-up with the general, templates and profiles sections configured."""
import os

from conftest import CONFIG, read_text


def configured(workdir, replace_from, replace_to, extra=""):
    """A copy of the shipped configuration with one text replaced and the
    given section elements added."""
    text = read_text(CONFIG).replace(replace_from, replace_to)
    text = text.replace("</kestrivan>", extra + "</kestrivan>")
    path = os.path.join(workdir, "kestrivan.xml")
    with open(path, "w") as f:
        f.write(text)
    return path


def test_the_proxy_names_itself_by_the_general_host_name(daemon_factory, workdir):
    config = configured(workdir, "<hostname>localhost</hostname>",
                        "<hostname>proxy.example</hostname>")
    d = daemon_factory(config=config).start()
    assert " network: proxy hostname: proxy.example\n" in d.log()


def test_the_command_line_host_name_comes_first(daemon_factory, workdir):
    config = configured(workdir, "<hostname>localhost</hostname>",
                        "<hostname>proxy.example</hostname>")
    d = daemon_factory(config=config, extra_args=["-H", "cmdline.example"]).start()
    assert " network: proxy hostname: cmdline.example\n" in d.log()


def test_unusable_patterns_are_logged_and_start_up_goes_on(daemon_factory, workdir):
    extra = ("<templates><templatedir>%s</templatedir>"
             "<template><enabled>true</enabled><name>blocked</name><file>b.html</file>"
             "<status>403</status><type>file</type></template></templates>"
             "<profiles><profile><enabled>true</enabled><host>(open</host><add>x</add>"
             "</profile></profiles>") % workdir
    config = configured(workdir, "<compressmime></compressmime>",
                        "<compressmime>[text</compressmime>", extra)
    d = daemon_factory(config=config).start()
    log = d.log()
    assert " error: failed to compile regular expression: (open\n" in log
    assert " error: failed to compile regular expression: [text\n" in log
