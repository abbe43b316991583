// Starts `viderav-build --lsp` for the texts the `viderav.files` setting
// names, and says plainly when the program cannot be found or has no
// language server.
const vscode = require('vscode');
const { execFile } = require('child_process');
const { LanguageClient } = require('vscode-languageclient/node');

let client;

// What the program says of itself: its --help names --lsp where it has
// the server.
function probe(program) {
  return new Promise((resolve) => {
    execFile(program, ['--help'], { timeout: 10000 }, (error, stdout) => {
      if (error && (error.code === 'ENOENT' || error.code === 'EACCES' || error.killed)) {
        resolve({ found: false, why: error.killed ? 'it did not answer' : error.code });
      } else {
        resolve({ found: true, serves: String(stdout).includes('--lsp') });
      }
    });
  });
}

async function tell(message) {
  const open = 'Open Settings';
  if ((await vscode.window.showErrorMessage(message, open)) === open) {
    vscode.commands.executeCommand('workbench.action.openSettings', 'viderav.path');
  }
}

function selector(files) {
  const folders = vscode.workspace.workspaceFolders || [];
  const filters = folders.map((folder) => ({
    scheme: 'file',
    pattern: new vscode.RelativePattern(folder, files),
  }));
  if (filters.length === 0) filters.push({ scheme: 'file', pattern: '**/*.txt' });
  return filters;
}

async function start() {
  const config = vscode.workspace.getConfiguration('viderav');
  const program = config.get('path') || 'viderav-build';
  const found = await probe(program);
  if (!found.found) {
    await tell(`viderav: cannot run "${program}" (${found.why}). Install viderav, or set the ` +
      'path of viderav-build in the setting viderav.path.');
    return;
  }
  if (!found.serves) {
    await tell(`viderav: "${program}" has no language server (--lsp): it is older than ` +
      'this extension. Install a newer viderav, or set viderav.path to one.');
    return;
  }
  client = new LanguageClient('viderav', 'viderav',
    { command: program, args: ['--lsp'] },
    {
      documentSelector: selector(config.get('files') || '**/*.txt'),
      synchronize: { configurationSection: 'viderav' },
      initializationOptions: {
        viderav: {
          failOnRejected: config.get('failOnRejected'),
          failOnLongLines: config.get('failOnLongLines'),
        },
      },
    });
  await client.start();
}

async function stop() {
  if (client) {
    const running = client;
    client = undefined;
    await running.stop();
  }
}

async function activate(context) {
  context.subscriptions.push(vscode.workspace.onDidChangeConfiguration(async (e) => {
    // The program and the files need a new server; the options reach the
    // running one.
    if (e.affectsConfiguration('viderav.path') || e.affectsConfiguration('viderav.files')) {
      await stop();
      await start();
    }
  }));
  await start();
}

function deactivate() {
  return stop();
}

module.exports = { activate, deactivate };
