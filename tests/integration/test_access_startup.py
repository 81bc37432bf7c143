"""Start-up with access rules configured: a rule that authenticates users by a
pattern that does not compile would admit every user, so the configuration
is refused; the trusted-proxy list is an ordinary address list."""
import os

from conftest import CONFIG, read_text


def configured(workdir, rule_fields, globals_=""):
    """The shipped configuration with its access rules replaced by one allow
    rule with the given fields."""
    text = read_text(CONFIG)
    start = text.index("<access>")
    end = text.index("\n  </access>") + len("\n  </access>")
    access = ("<access><allow-first>true</allow-first><ntlm>false</ntlm>%s"
              "<allow><enabled>true</enabled>%s</allow></access>") % (globals_, rule_fields)
    path = os.path.join(workdir, "kestrivan.xml")
    with open(path, "w") as f:
        f.write(text[:start] + access + text[end:])
    return path


def test_uncompilable_user_pattern_stops_start_up(daemon_factory, workdir):
    config = configured(workdir, "<authenticate>true</authenticate><user>(alice</user>"
                                 "<access>proxy</access>")
    d = daemon_factory(config=config)
    d.start(ready_line=None)
    status = d.wait(timeout=15)
    log = d.log()
    assert status != 0, log
    assert (" error: section access, element allow: user must be a regular expression,"
            " but it is given value (alice") in log
    assert "proxy hostname:" not in log


def test_literal_user_name_need_not_be_a_pattern(daemon_factory, workdir):
    config = configured(workdir, "<authenticate>false</authenticate><user>(alice</user>"
                                 "<access>proxy</access>",
                        "<trusted-proxies>127.0.0.1,10.0.0.0-10.255.255.255</trusted-proxies>")
    d = daemon_factory(config=config).start()
    assert "failed to compile" not in d.log()
