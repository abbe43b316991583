// Drives a running code-server in headless Chromium as a writer would:
// opens FILE from the Explorer in FOLDER, shows the Problems panel, types
// into the text without saving, turns failOnRejected on, then names a
// program that does not exist and one too old to serve, through the test
// extension's command.  At each step it waits for what the
// test extension dumps to DUMP, and writes what it saw to OUT as JSON.
const { chromium } = require(process.env.PLAYWRIGHT);
const fs = require('fs');
const { PORT, FOLDER, FILE, DUMP, OUT, SHOT } = process.env;

const seen = {};
const ours = () => {
  let d;
  try { d = JSON.parse(fs.readFileSync(DUMP, 'utf8')); } catch { return []; }
  const uri = Object.keys(d.diagnostics).find((u) => u.endsWith('/' + FILE));
  return uri ? d.diagnostics[uri] : [];
};
async function until(name, page, wanted, ms = 60000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    const d = ours();
    if (wanted(d)) { seen[name] = d; return; }
    await page.waitForTimeout(100);
  }
  seen[name] = { timedOut: ours() };
}
// The next of the test extension's settings, through the command palette.
async function setting(page) {
  await page.keyboard.press('F1');
  await page.keyboard.type('viderav test: set the next setting');
  await page.locator('.quick-input-list .monaco-list-row', { hasText: 'set the next setting' })
    .first().waitFor({ timeout: 30000 });
  await page.keyboard.press('Enter');
}

(async () => {
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
      '--disable-background-networking', '--disable-component-update', '--no-first-run'] });
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 720 } });
    await page.goto(`http://127.0.0.1:${PORT}/?folder=${encodeURIComponent(FOLDER)}`);
    await page.waitForSelector('.monaco-workbench', { timeout: 120000 });
    const item = page.locator('.explorer-folders-view .monaco-list-row', { hasText: FILE });
    await item.first().waitFor({ timeout: 120000 });
    await item.first().click();
    await page.waitForSelector('.monaco-editor .view-lines', { timeout: 60000 });
    await until('opened', page, (d) => d.length >= 3, 120000);

    await page.locator('.monaco-editor .view-lines').click();
    await page.keyboard.press('Control+Shift+M');
    await page.locator('.markers-panel .monaco-tl-row').first().waitFor({ timeout: 60000 });
    await page.waitForTimeout(1000);
    seen.problems = await page.locator('.markers-panel .monaco-tl-row').allInnerTexts();
    if (SHOT) await page.screenshot({ path: SHOT });

    // Typed at the end of the first line, never saved.
    await page.locator('.monaco-editor .view-lines').click();
    await page.keyboard.press('Control+Home');
    await page.keyboard.press('End');
    await page.keyboard.type('-');
    await until('typed', page, (d) => d.some((x) => x.message.includes("'-'")));

    await setting(page);
    await until('strict', page, (d) => d.length > 0 && d.every((x) => x.severity === 0));

    // A program that cannot be run, then one without the server: each
    // must bring its message.
    for (const [name, words] of [['missing', 'cannot run'], ['old', 'no language server']]) {
      await setting(page);
      const toast = page.locator('.notifications-toasts .notification-toast', { hasText: words });
      try {
        await toast.first().waitFor({ timeout: 60000 });
        seen[name] = await toast.first().innerText();
      } catch (e) {
        seen[name] = null;
      }
    }
  } finally {
    fs.writeFileSync(OUT, JSON.stringify(seen));
    await browser.close();
  }
})().catch((e) => { console.error('FAIL', e); process.exit(2); });
