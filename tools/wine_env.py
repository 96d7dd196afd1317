"""Windows programs from Python, with the Wine loader and prefix kind that
tools/wine-env.sh chooses for each build. The choice lives in that script
alone; this module only asks it."""
import os
import subprocess

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine-env.sh")
_QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def arches(base=None):
    """The builds whose programs this machine runs: ["x86", "x64"] or ["x64"]."""
    done = subprocess.run(["bash", SCRIPT, "arches"], env=base or os.environ, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, check=True)
    return done.stdout.split()


def runs_32bit(base=None):
    """Whether the kernel runs 32-bit programs, whatever is installed."""
    done = subprocess.run(["bash", SCRIPT, "runs-32bit"], env=base or os.environ, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, check=True)
    return done.stdout.strip() == "yes"


def environment(arch, prefix, base=None):
    """base (default: this process's environment) with Wine set up for arch in prefix."""
    env = dict(os.environ if base is None else base)
    done = subprocess.run(["bash", SCRIPT, "env", arch, prefix], env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, check=True)
    env.update(line.split("=", 1) for line in done.stdout.splitlines() if "=" in line)
    return env


def command(env, *args):
    """The command line that runs a Windows program (or Wine tool) in env."""
    return [env["TESSARAN_WINE"], *args]


def prepare(env):
    """Makes env's prefix once and starts its persistent server, off every pipe."""
    subprocess.run(["bash", SCRIPT, "prepare", env["TESSARAN_WINE_ARCH"], env["WINEPREFIX"]], env=env, **_QUIET)


def stop(env):
    subprocess.run(["bash", SCRIPT, "stop", env["TESSARAN_WINE_ARCH"], env["WINEPREFIX"]], env=env, **_QUIET)
