#!/usr/bin/python3
"""The Debian package and what it carries besides the binaries.

docs: the manual page renders without a groff warning, and it and the bash completion know
      every command of `img_util --help` and every option of each command's --help (so a new
      option cannot be added to the tool alone).
deb:  cpack builds img-util_*.deb from the build directory into a scratch directory; the package
      is unpacked into a scratch root with dpkg-deb -x, and the CLI found there answers --help
      and --version, compresses a small folder with backups, lists the run, and (once the tool
      has `restore`) puts the original back; the Python module found there imports into
      Debian's python3. Exit status 77 (skipped) when dpkg-deb or cpack is missing.

Usage: package_test.py docs --cli BUILD/img_util --source SRC
       package_test.py deb --build-dir BUILD --cpack CPACK --version X.Y.Z [--no-module]
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

SKIPPED = 77

# "-v", "--max-width", but not the "-" of "re-encodes" or of "(- for standard error)".
OPTION = re.compile(r"(?<![\w-])(--?[A-Za-z][A-Za-z0-9-]*)")


def fail(msg):
    print("package_test: FAIL: " + msg, file=sys.stderr)
    sys.exit(1)


def run(cmd, env=None, cwd=None, expect=0):
    """Runs cmd; its standard output. A status other than `expect` fails with what it said."""
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=cwd)
    if proc.returncode != expect:
        fail("%s exited %d (expected %d)\nstdout:\n%s\nstderr:\n%s" % (
            " ".join(cmd), proc.returncode, expect, proc.stdout, proc.stderr))
    return proc.stdout


# --- docs -------------------------------------------------------------------------------------

def commands_of(main_help):
    """The commands listed under "commands:" in the main help."""
    section = main_help.split("commands:\n", 1)[1].split("\n\n", 1)[0]
    return [line.split()[0] for line in section.splitlines() if line.startswith("  ")]


def man_text(path):
    """The manual page's source with the escapes a reader does not see taken out."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    text = re.sub(r"\\f[BIRP]", "", text)
    return text.replace("\\-", "-").replace("\\&", "")


def documented_options(man):
    """The options the manual page describes: those in the tag of a .TP paragraph."""
    tags = re.findall(r"^\.TP\n(.*)$", man, re.MULTILINE)
    return set(OPTION.findall("\n".join(tags)))


def completions(script, words):
    """What the completion offers for the last of `words` (the command line so far)."""
    quoted = " ".join("'%s'" % w for w in words)
    program = (
        'source "$1"; COMP_WORDS=(%s); COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 )); _img_util; '
        'printf "%%s\\n" "${COMPREPLY[@]}"' % quoted)
    proc = subprocess.run(["bash", "--norc", "-c", program, "bash", script],
                          capture_output=True, text=True)
    if proc.returncode != 0 or proc.stderr:
        fail("the completion %s fails on %r:\n%s" % (script, " ".join(words), proc.stderr))
    return set(proc.stdout.split())


def check_docs(args):
    man_page = os.path.join(args.source, "man", "img_util.1")
    completion = os.path.join(args.source, "completion", "img_util.bash")

    groff = shutil.which("groff")
    if groff:
        proc = subprocess.run([groff, "-ww", "-man", "-z", man_page], capture_output=True,
                              text=True)
        if proc.returncode != 0 or proc.stderr:
            fail("groff warns on %s:\n%s" % (man_page, proc.stderr))
    else:
        print("package_test: groff is not installed: the manual page's rendering is not checked")

    main_help = run([args.cli, "--help"])
    man = man_text(man_page)
    documented = documented_options(man)
    top = completions(completion, ["img_util", ""])
    problems = []
    for option in OPTION.findall(main_help):
        if option not in documented:
            problems.append("the manual page does not describe %s of img_util --help" % option)
        if option not in top:
            problems.append("the completion does not offer %s after img_util" % option)
    commands = commands_of(main_help)
    if not commands:
        fail("no commands found in img_util --help:\n" + main_help)
    for command in commands:
        if '.SS "img_util %s' % command not in man:
            problems.append("the manual page has no section for img_util %s" % command)
        if command not in top:
            problems.append("the completion does not offer the command %s" % command)
        offered = completions(completion, ["img_util", command, "-"])
        for option in sorted(set(OPTION.findall(run([args.cli, command, "--help"])))):
            if option not in documented:
                problems.append("the manual page does not describe %s of img_util %s --help" % (
                    option, command))
            if option not in offered:
                problems.append("the completion does not offer %s after img_util %s" % (
                    option, command))
    if problems:
        fail("\n".join(problems))
    print("package_test: manual page and completion cover %d commands" % len(commands))


# --- deb --------------------------------------------------------------------------------------

def make_photo(path):
    """A 640x480 JPEG with gradients and noise, so that a downscale visibly shrinks it."""
    from PIL import Image, ImageDraw

    im = Image.effect_noise((640, 480), 40).convert("RGB")
    draw = ImageDraw.Draw(im)
    for i in range(0, 640, 16):
        draw.line([(i, 0), (640 - i, 480)], fill=(i % 256, 90, 255 - i % 256), width=3)
    im.save(path, quality=92)


def check_deb(args):
    if not shutil.which("dpkg-deb"):
        print("package_test: SKIPPED: dpkg-deb is not installed (Debian's dpkg)")
        return SKIPPED
    if not (args.cpack and os.access(args.cpack, os.X_OK)):
        print("package_test: SKIPPED: cpack (CMake's packager) was not found")
        return SKIPPED

    scratch = tempfile.mkdtemp(prefix="img_util-package-")
    try:
        deb = build_package(args, scratch)
        root = os.path.join(scratch, "root")
        run(["dpkg-deb", "-x", deb, root])
        check_cli(args, root, scratch)
        if args.no_module:
            print("package_test: the build has no Python module: its import is not checked")
        else:
            check_module(root, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("package_test: %s installs and runs" % os.path.basename(deb))
    return 0


def build_package(args, scratch):
    """cpack's package made into scratch/out, its name, fields and files checked."""
    out = os.path.join(scratch, "out")
    run([args.cpack, "-G", "DEB", "--config", os.path.join(args.build_dir, "CPackConfig.cmake"),
         "-B", out])
    debs = glob.glob(os.path.join(out, "img-util_*.deb"))
    if len(debs) != 1:
        fail("cpack made %s, expected one img-util_*.deb" % os.listdir(out))
    deb = debs[0]
    if not os.path.basename(deb).startswith("img-util_%s_" % args.version):
        fail("%s does not carry the version %s" % (deb, args.version))

    fields = run(["dpkg-deb", "-f", deb, "Package", "Depends"])
    if "Package: img-util\n" not in fields:
        fail("the package is not named img-util:\n" + fields)
    wanted = ["libjpeg62-turbo", "libsqlite3-0"] + ([] if args.no_module else ["python3 (>="])
    for dep in wanted:
        if dep not in fields:
            fail("the package does not depend on %s:\n%s" % (dep, fields))

    listing = run(["dpkg-deb", "-c", deb])
    files = [line.split()[-1] for line in listing.splitlines()]
    wanted = ["./usr/bin/img_util", "./usr/share/man/man1/img_util.1.gz",
              "./usr/share/bash-completion/completions/img_util"]
    if not args.no_module:
        wanted.append("./usr/lib/python3/dist-packages/img_util.*.so")
    for pattern in wanted:
        if not any(re.fullmatch(re.escape(pattern).replace(r"\*", ".*"), f) for f in files):
            fail("the package has no %s:\n%s" % (pattern, listing))
    return deb


def check_cli(args, root, scratch):
    cli = os.path.join(root, "usr", "bin", "img_util")
    env = dict(os.environ, IMG_UTIL_PLUGIN_DIR=os.path.join(root, "var", "lib", "img_util"))
    env.pop("PYTHONPATH", None)

    main_help = run([cli, "--help"], env=env)
    if not main_help.startswith("usage: img_util"):
        fail("the installed img_util --help says:\n" + main_help)
    version = run([cli, "--version"], env=env)
    if version.strip() != "img_util " + args.version:
        fail("the installed img_util --version says %r" % version)

    site = os.path.join(scratch, "site")
    os.makedirs(site)
    photo = os.path.join(site, "photo.jpg")
    make_photo(photo)
    with open(photo, "rb") as f:
        original = f.read()

    run([cli, "compress", site, "--max-width", "160", "--backup"], env=env)
    from PIL import Image

    with Image.open(photo) as im:
        if im.size != (160, 120):
            fail("the installed CLI left %s at %dx%d, expected 160x120" % ((photo,) + im.size))
    archives = glob.glob(os.path.join(env["IMG_UTIL_PLUGIN_DIR"], "backups", "*.zip"))
    if len(archives) != 1:
        fail("expected one backup archive in the plugin directory, found %s" % archives)
    with zipfile.ZipFile(archives[0]) as z:
        if z.read(photo.lstrip("/")) != original:
            fail("the backup of %s in %s is not the original" % (photo, archives[0]))

    log = run([cli, "log"], env=env)
    if site not in log:
        fail("img_util log does not list the run over %s:\n%s" % (site, log))

    if "restore" in main_help:
        run([cli, "restore", archives[0]], env=env)
        with open(photo, "rb") as f:
            if f.read() != original:
                fail("img_util restore did not put the original %s back" % photo)


def check_module(root, scratch):
    site_packages = os.path.join(root, "usr", "lib", "python3", "dist-packages")
    env = dict(os.environ, PYTHONPATH=site_packages)
    out = run(["/usr/bin/python3", "-c",
               "import img_util; print(img_util.__file__); print(callable(img_util.IMAGES))"],
              env=env, cwd=scratch)
    where, images = out.split()
    if not where.startswith(site_packages + os.sep) or images != "True":
        fail("python3 imported img_util from %s, not from the package" % where)


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="what", required=True)
    docs = sub.add_parser("docs")
    docs.add_argument("--cli", required=True)
    docs.add_argument("--source", required=True)
    deb = sub.add_parser("deb")
    deb.add_argument("--build-dir", required=True)
    deb.add_argument("--cpack")
    deb.add_argument("--version", required=True)
    deb.add_argument("--no-module", action="store_true")
    args = parser.parse_args()
    if args.what == "docs":
        check_docs(args)
        return 0
    return check_deb(args)


if __name__ == "__main__":
    sys.exit(main())
