#!/usr/bin/env python3
"""The commit and review recipes as a project's writers meet them: a
scratch repository that takes the hook with pre-commit through the README's
own snippet, with and without the README's args; a commit that adds a comma
to a text named -notes.txt refused with the located line shown, the fixed
text committed, and files outside the pattern not looked at.  Then the
review workflow's own command on 3,000 texts and on none.

    commit_hook.py --bin DIR    (DIR holds viderav-build)

Exits 77 (skipped) where pre-commit or git is missing.
"""

import argparse
import json
import os
import re
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

        # The hook's repository: this one's hook file, committed on main.
        hooks = os.path.join(tmp, "hooks")
        os.makedirs(hooks)
        shutil.copy(os.path.join(ROOT, ".pre-commit-hooks.yaml"), hooks)
        git(hooks, "init", "-q", "-b", "main")
        git(hooks, "add", ".")
        git(hooks, "commit", "-q", "-m", "hooks")

        readme = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
        snippet = re.search(r"```yaml\n(.*?)```", readme, re.S).group(1)
        snippet = snippet.replace("<where you keep viderav>", hooks)
        readme_args = re.search(r"`(args: \[.*?\])`", readme).group(1)
        problems = []
        for n, config in enumerate((snippet, snippet + f"    {readme_args}\n")):
            problems += commits(git, env, os.path.join(tmp, f"game{n}"), config)
        problems += review(git, bin_dir(tmp, env), tmp)
        for p in problems:
            print(p)
        print("ok" if not problems else f"{len(problems)} failures")
        return 1 if problems else 0


def commits(git, env, game, config):
    """A comma in texts/-notes.txt refused, its fix committed."""
    os.makedirs(os.path.join(game, "texts"))
    with open(os.path.join(game, ".pre-commit-config.yaml"), "w") as f:
        f.write(config)
    git(game, "init", "-q")
    proc = subprocess.run(["pre-commit", "install"], cwd=game, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if proc.returncode != 0:
        return [f"pre-commit install: {proc.stdout}"]
    problems = []
    text = os.path.join(game, "texts", "-notes.txt")
    # Outside the pattern: a text elsewhere, and a README among the texts.
    for name, data in (("notes.txt", b"a comma, outside the texts\n"),
                       ("texts/README.md", b"# the texts\n")):
        with open(os.path.join(game, name), "wb") as f:
            f.write(data)
    for data, refused in ((b"NEW GAME, LOAD\n", True), (b"NEW GAME. LOAD\n", False)):
        with open(text, "wb") as f:
            f.write(data)
        git(game, "add", ".")
        proc = git(game, "commit", "-m", "menu")
        line = f"{text}:1:9: error: rejected character ',' (0x2C), written as code 0"
        shown = line in proc.stdout and "notes.txt:" not in proc.stdout.replace(text, "") \
            and "README.md" not in proc.stdout
        if refused and (proc.returncode == 0 or not shown):
            problems.append(f"{config}a comma: committed ({proc.returncode}) or not shown:\n"
                            f"{proc.stdout}")
        if not refused and proc.returncode != 0:
            problems.append(f"{config}the fixed text: refused:\n{proc.stdout}")
    return problems


def review(git, runner_temp, tmp):
    """The review workflow's own command, as its step runs it, on 3,000
    texts in chapters, one with a comma, and on none: one SARIF log each."""
    workflow = open(os.path.join(ROOT, "examples", "review", "viderav-review.yml")).read()
    step = re.search(r"- name: Check the texts\n.*?run: \|\n(.*?)\n\s+- name:", workflow,
                     re.S).group(1)
    script = "\n".join(line[10:] for line in step.splitlines()) + "\n"
    problems = []
    for count in (3000, 0):
        repo = os.path.join(tmp, f"review{count}")
        os.makedirs(repo)
        git(repo, "init", "-q")
        for i in range(count):
            chapter = os.path.join(repo, "texts", f"chapter-{i // 100:02}")
            os.makedirs(chapter, exist_ok=True)
            with open(os.path.join(chapter, f"scene-{i:04}-in-the-long-night.txt"), "wb") as f:
                f.write(b"A, B\n" if i == 2999 else b"A B\n")
        git(repo, "add", ".")
        proc = subprocess.run(["bash", "--noprofile", "--norc", "-eo", "pipefail", "-c", script],
                              cwd=repo, env=dict(os.environ, TEXTS="texts",
                                                 RUNNER_TEMP=runner_temp),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            with open(os.path.join(repo, "viderav.sarif"), "rb") as f:
                results = json.load(f)["runs"][0]["results"]
        except (OSError, ValueError, KeyError, IndexError) as e:
            results = [f"no SARIF log: {e}"]
        lines = [r["locations"][0]["physicalLocation"]["region"]["startLine"] for r in results
                 if isinstance(r, dict)]
        if proc.returncode != 0 or len(results) != (1 if count else 0) or lines not in ([1], []):
            problems.append(f"the review step on {count} texts: status {proc.returncode}, "
                            f"results {results[:3]}:\n{proc.stdout}")
    return problems


def bin_dir(tmp, env):
    """A runner's temporary folder where the workflow built viderav-build."""
    runner = os.path.join(tmp, "runner")
    os.makedirs(os.path.join(runner, "viderav"))
    os.symlink(shutil.which("viderav-build", path=env["PATH"]),
               os.path.join(runner, "viderav", "viderav-build"))
    return runner


if __name__ == "__main__":
    sys.exit(main())
