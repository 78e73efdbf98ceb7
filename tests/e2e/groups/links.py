"""Directory links (Unix symbolic links, which Wine shows as reparse points by
name) where the run writes: nothing goes through them."""

from e2e import *  # noqa: F401,F403 (the harness: bench, runs, checks)


def scenarios(b):
    """This group's scenarios (see the harness, e2e.py, for the keys)."""

    def link_untouched(c, link, target):
        """The link is still a link to its target, which holds no work folder
        file and no rollback folder."""
        c.true(os.path.islink(link), "the link was replaced: %s" % link)
        found = sorted(os.listdir(target)) if os.path.isdir(target) else None
        c.true(found is not None and "updater-work" not in found and
               not any(f.endswith((".log", ".part", ".exe")) for f in found),
               "written behind the link: %s" % found)

    def shared_link_left(c, run):
        check_installed(c, run, b)
        link_untouched(c, os.path.join(b.programdata, SHARED), run.install_dir + "-elsewhere")

    def location_link_left(c, run):
        link_untouched(c, run.install_dir, run.install_dir + "-elsewhere")
        check_no_installer_left(c, run)

    def updater_work_link_left(c, run):
        link_untouched(c, os.path.join(run.install_dir, "updater-work"),
                       run.install_dir + "-elsewhere")
        c.eq(os.listdir(run.install_dir + "-elsewhere"), [], "files behind the link")
        check_no_installer_left(c, run)

    return [
        dict(name="shared-work-folder-link", release="good", link="shared",
             code=0, reason="installed", message=("information", msg_installed()),
             lines=["work folder reuse: no (fresh random folder)"], check=shared_link_left),
        dict(name="install-location-link", release="good", link="location",
             code=0, reason="installed",
             message=("information", msg_installed()),
             lines=["rollback package could not be kept (not fatal)"],
             no_lines=["rollback package kept in"], check=location_link_left),
        dict(name="updater-work-link", release="good", link="updater-work",
             code=0, reason="installed", message=("information", msg_installed()),
             lines=["rollback package could not be kept (not fatal)"],
             no_lines=["rollback package kept in"], check=updater_work_link_left),
    ]
