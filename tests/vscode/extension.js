// For the tests: every change of the diagnostics VS Code holds from
// viderav, written whole to the file VIDERAV_DUMP names, with a count; and
// a command that changes the user's settings as the Settings editor does,
// one step of VIDERAV_SETTINGS (a JSON list of [key, value]) at a time.
const vscode = require('vscode');
const fs = require('fs');

function activate() {
  const file = process.env.VIDERAV_DUMP;
  if (!file) return;
  let changes = 0;
  const dump = () => {
    const all = {};
    for (const [uri, items] of vscode.languages.getDiagnostics()) {
      const ours = items.filter((d) => d.source === 'viderav');
      if (ours.length === 0) continue;
      all[uri.toString(true)] = ours.map((d) => ({
        line: d.range.start.line, character: d.range.start.character,
        endLine: d.range.end.line, endCharacter: d.range.end.character,
        severity: d.severity, code: typeof d.code === 'object' ? d.code.value : d.code,
        message: d.message,
      }));
    }
    fs.writeFileSync(file + '.tmp', JSON.stringify({ changes: ++changes, diagnostics: all }));
    fs.renameSync(file + '.tmp', file);
  };
  vscode.languages.onDidChangeDiagnostics(dump);
  dump();
  const steps = JSON.parse(process.env.VIDERAV_SETTINGS || '[]');
  vscode.commands.registerCommand('videravTest.set', async () => {
    const [key, value] = steps.shift();
    const dot = key.indexOf('.');
    await vscode.workspace.getConfiguration(key.slice(0, dot))
      .update(key.slice(dot + 1), value, vscode.ConfigurationTarget.Global);
  });
}

module.exports = { activate, deactivate() {} };
