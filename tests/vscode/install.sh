#!/bin/bash
# code-server (VS Code 1.100.3) from the npm registry with Debian's help, no
# download of its own; then vsce and playwright-core.  Needs, as root once:
#   apt-get install chromium libkrb5-dev ripgrep g++ make python3
set -euo pipefail
R=${1:?usage: install.sh DIR}; mkdir -p "$R"; R=$(cd "$R" && pwd); cd "$R"
export npm_config_nodedir=/usr      # node-gyp uses /usr/include/node, no header download
export npm_config_yes=true          # node-pty postinstall runs `npx node-gyp ...`
export HOME="$R/home"; mkdir -p "$HOME"
t() { local s=$(date +%s); "$@"; echo "  ($(( $(date +%s)-s ))s) $*" >&2; }
# apt-get install -y chromium libkrb5-dev ripgrep python3 g++ make   (done once, as root)
t npm install code-server@4.100.3 --prefix "$R/cs" --ignore-scripts --no-audit --no-fund
t npm rebuild --prefix "$R/cs" argon2                       # node-pre-gyp: download fails fast -> builds from source
V="$R/cs/node_modules/code-server/lib/vscode"
( cd "$V" && t npm install --omit=dev --ignore-scripts --no-audit --no-fund )
mkdir -p "$V/node_modules/@vscode/ripgrep/bin" && ln -sf /usr/bin/rg "$V/node_modules/@vscode/ripgrep/bin/rg"  # skips GitHub download
( cd "$V" && t npm rebuild )                                   # spdlog, node-pty, kerberos, native-watchdog, deviceid, parcel watcher
# what code-server's postinstall.sh would do besides the installs:
( cd "$V" && ln -sfn node_modules node_modules.asar && ln -sf code-linux.sh bin/remote-cli/code-server && ln -sf browser-linux.sh bin/helpers/browser.sh )
( cd "$V/extensions" && t npm install --omit=dev --no-audit --no-fund )
t npm install --prefix "$R/tools" @vscode/vsce@3.9.2 playwright-core@1.65.2 --no-audit --no-fund
"$R/cs/node_modules/.bin/code-server" --version
