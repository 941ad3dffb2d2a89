// Another web page cannot reach the graph through the local host: Debian's
// chromium, driven by playwright-core, opens a page served from a second
// local origin (another port) that tries an image GET, a form POST and
// fetches against the real host (scripts/host.sh); the graph file stays byte
// for byte as it was, while the host's own page still reads and edits it.
//
//   PLUGIN_MEMORY_EXE=build/plugin_memory PLUGIN_MEMORY_SOURCE=. node --test tests/js/web_origin.test.mjs
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import { chromium } from 'playwright-core';
import { freePort, startHost } from './lib/host.mjs';

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const WAIT = 10000;

// The other site's page: two images and a form POST (text/plain, the way a
// form smuggles JSON) on both routes, no-cors fetch POSTs to the API and to
// the MCP endpoint, and a fetch that tries to read the graph.
function attackPage(target) {
  const add = (name) => JSON.stringify({ action: 'add_entity', name, entityType: 't', x: '' }).slice(0, -2);
  return `<!doctype html><html><body>
<img src="${target}/plugin_memory?action=add_entity&name=EvilImage&entityType=t">
<img src="${target}/plugins?plugin=plugin_memory&action=delete_entity&name=Ada">
<iframe name="sink"></iframe>
<form id="f" method="POST" action="${target}/plugins?plugin=plugin_memory" enctype="text/plain" target="sink">
<input type="hidden" name='${add('EvilForm')}' value='"}'></form>
<script>
window.read = 'pending';
fetch('${target}/plugin_memory?action=graph').then((r) => r.text())
  .then((t) => { window.read = t; }, () => { window.read = 'blocked'; });
fetch('${target}/plugin_memory', { method: 'POST', mode: 'no-cors', headers: { 'Content-Type': 'text/plain' },
  body: JSON.stringify({ action: 'add_entity', name: 'EvilFetch', entityType: 't' }) });
fetch('${target}/mcp', { method: 'POST', mode: 'no-cors', headers: { 'Content-Type': 'text/plain' },
  body: JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'tools/call',
    params: { name: 'create_entities', arguments: { entities: [{ name: 'EvilMcp', entityType: 't' }] } } }) });
document.getElementById('f').submit();
</script></body></html>`;
}

describe('a page of another origin', () => {
  let host, other, browser;
  before(async () => {
    host = await startHost();
    const r = await fetch(`${host.origin}/plugin_memory`, {
      method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ action: 'add_entity', name: 'Ada', entityType: 'person', observations: ['secret'] }),
    });
    assert.equal((await r.json()).ok, true);
    const port = await freePort();
    other = http.createServer((req, res) => {
      res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
      res.end(attackPage(host.origin));
    });
    await new Promise((resolve) => other.listen(port, '127.0.0.1', resolve));
    other.origins = [`http://127.0.0.1:${port}`, `http://localhost:${port}`];
    browser = await chromium.launch({
      executablePath: CHROMIUM,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
  });
  after(async () => {
    await browser?.close();
    await new Promise((resolve) => (other ? other.close(resolve) : resolve()));
    await host?.stop();
  });

  for (const site of ['same site, another port', 'another site']) {
    test(`(${site}) neither reads nor changes the graph`, async () => {
      const before = fs.readFileSync(host.graph);
      const context = await browser.newContext();
      try {
        const page = await context.newPage();
        // Every request the page sends to the host, and the status it got
        // (0 when the browser blocked the answer from the page).
        const done = [];
        const record = async (req) => {
          if (!req.url().startsWith(host.origin)) return;
          const resp = await req.response().catch(() => null);
          done.push({ url: req.url().slice(host.origin.length), method: req.method(), status: resp ? resp.status() : 0 });
        };
        page.on('requestfinished', record);
        page.on('requestfailed', record);
        await page.goto(`${other.origins[site === 'another site' ? 1 : 0]}/attack.html`);
        await page.waitForFunction(() => window.read !== 'pending', null, { timeout: WAIT });
        const deadline = Date.now() + WAIT;
        while (done.length < 6 && Date.now() < deadline) await new Promise((r) => setTimeout(r, 50));
        assert.equal(done.length, 6, `requests that reached the host: ${JSON.stringify(done)}`);
        for (const d of done) {
          if (d.status) assert.equal(d.status, 403, `${d.method} ${d.url}`);
        }
        assert.deepEqual(done.filter((d) => d.method === 'POST').length, 3);
        assert.equal(await page.evaluate(() => window.read), 'blocked');
      } finally {
        await context.close();
      }
      assert.ok(fs.readFileSync(host.graph).equals(before), 'the graph file changed');
    });
  }

  test('while the host\'s own page still reads and edits the graph', async () => {
    const context = await browser.newContext();
    try {
      const page = await context.newPage();
      const resp = await page.goto(`${host.origin}/plugins?plugin=plugin_memory`);
      assert.equal(resp.status(), 200);
      await page.waitForFunction(() => /^1 entit/.test(document.getElementById('tally')?.textContent || ''),
        null, { timeout: WAIT });
      // The page's own calls: same-origin fetches, reads by GET, edits by POST.
      const got = await page.evaluate(async () => {
        const post = (body) => fetch('/plugin_memory', {
          method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
        }).then((r) => r.json());
        const added = await post({ action: 'add_obs', name: 'Ada', contents: ['seen by the page'] });
        const read = await fetch('/plugin_memory?action=entity&name=Ada').then((r) => r.json());
        return { added: added.ok, obs: read.entities[0].observations };
      });
      assert.deepEqual(got, { added: true, obs: ['secret', 'seen by the page'] });
    } finally {
      await context.close();
    }
  });
});
