#!/usr/bin/env python3
"""The commit hook of .pre-commit-hooks.yaml, as a project's writers meet it:
a scratch repository that takes the hook with pre-commit, a commit that
adds a comma to a text refused with the located line shown, the fixed text
committed, and a file outside the texts' pattern not looked at.

    commit_hook.py --bin DIR    (DIR holds viderav-build)

Exits 77 (skipped) where pre-commit or git is missing.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    args = ap.parse_args()
    missing = [t for t in ("pre-commit", "git") if shutil.which(t) is None]
    if missing:
        print(f"skipped: {', '.join(missing)} not found (Debian: pre-commit, git)")
        return 77
    with tempfile.TemporaryDirectory(prefix="viderav-hook-") as tmp:
        env = dict(os.environ, PATH=os.path.abspath(args.bin) + os.pathsep + os.environ["PATH"],
                   PRE_COMMIT_HOME=os.path.join(tmp, "cache"), HOME=tmp,
                   GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@t", GIT_COMMITTER_NAME="t",
                   GIT_COMMITTER_EMAIL="t@t", GIT_CONFIG_NOSYSTEM="1")

        def git(folder, *cmd):
            return subprocess.run(["git", *cmd], cwd=folder, env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)

        # The hook's repository: this one's hook file, committed.
        hooks = os.path.join(tmp, "hooks")
        os.makedirs(hooks)
        shutil.copy(os.path.join(ROOT, ".pre-commit-hooks.yaml"), hooks)
        git(hooks, "init", "-q")
        git(hooks, "add", ".")
        git(hooks, "commit", "-q", "-m", "hooks")
        rev = git(hooks, "rev-parse", "HEAD").stdout.strip()

        game = os.path.join(tmp, "game")
        os.makedirs(os.path.join(game, "texts"))
        with open(os.path.join(game, ".pre-commit-config.yaml"), "w") as f:
            f.write(f"repos:\n- repo: {hooks}\n  rev: {rev}\n  hooks:\n"
                    "  - id: viderav-check\n    files: ^texts/\n")
        git(game, "init", "-q")
        proc = subprocess.run(["pre-commit", "install"], cwd=game, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if proc.returncode != 0:
            print(f"pre-commit install: {proc.stdout}")
            return 1

        problems = []
        text = os.path.join(game, "texts", "menu.txt")
        for data, notes, refused in ((b"NEW GAME, LOAD\n", b"a comma, outside the texts\n", True),
                                     (b"NEW GAME. LOAD\n", None, False)):
            with open(text, "wb") as f:
                f.write(data)
            if notes:
                with open(os.path.join(game, "notes.txt"), "wb") as f:
                    f.write(notes)
            git(game, "add", ".")
            proc = git(game, "commit", "-m", "menu")
            line = f"{text}:1:9: error: rejected character ',' (0x2C), written as code 0"
            shown = line in proc.stdout and "notes.txt" not in proc.stdout
            if refused and (proc.returncode == 0 or not shown):
                problems.append(f"a comma: committed ({proc.returncode}) or not shown:\n"
                                f"{proc.stdout}")
            if not refused and proc.returncode != 0:
                problems.append(f"the fixed text: refused:\n{proc.stdout}")
        for p in problems:
            print(p)
        print("ok" if not problems else f"{len(problems)} failures")
        return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
