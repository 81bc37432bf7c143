"""Plug-in modules loaded by the daemon from its module directory (-m)."""
import os
import shutil

from conftest import BUILD

PLUGINS = os.path.join(BUILD, "tests", "plugins")

DEFINITION = ("<section><kvtest_good><comment>Test module</comment><desc>From a plug-in</desc>"
              "<global/></kvtest_good></section>")


def test_the_daemon_loads_a_module_and_skips_what_is_no_module(daemon_factory, workdir):
    modules = os.path.join(workdir, "modules")
    os.makedirs(modules, exist_ok=True)
    shutil.copy(os.path.join(PLUGINS, "libkvtest_good.so"), modules)
    shutil.copy(os.path.join(PLUGINS, "libkvtest_refuse.so"), modules)
    with open(os.path.join(modules, "kvtest_good.xml"), "w") as f:
        f.write(DEFINITION)
    with open(os.path.join(modules, "kvtest_refuse.xml"), "w") as f:
        f.write(DEFINITION.replace("kvtest_good", "demo"))
    with open(os.path.join(modules, "README.txt"), "w") as f:
        f.write("not a module")
    d = daemon_factory()
    d.start()
    log = d.log()
    assert "module: loaded %s/libkvtest_good.so\n" % modules in log
    assert "module: error: failed to load %s/libkvtest_refuse.so\n" % modules in log
    assert "README" not in log
    assert d.running()
