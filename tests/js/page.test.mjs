// Browser tests of the graph page: Debian's chromium, driven by playwright-core,
// against the real lighttpd host (scripts/host.sh) running the built program
// as a CGI program on a free loopback port with a fresh data directory.
//
//   PLUGIN_MEMORY_EXE=build/plugin_memory PLUGIN_MEMORY_SOURCE=. node --test tests/js/page.test.mjs
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { SOURCE, startHost } from './lib/host.mjs';

const ARTIFACTS = path.join(SOURCE, 'tests/artifacts');
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const WAIT = 10000;

// ---------------------------------------------------------------- the host

// The API seen from a script, for arranging and checking the graph.
function apiClient(origin, password) {
  const headers = password ? { 'X-Bot-Password': password } : {};
  const call = async (action, body) => {
    const r = await fetch(`${origin}/plugin_memory?action=${action}`, body === undefined
      ? { headers }
      : { method: 'POST', headers: { ...headers, 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
    const j = await r.json();
    assert.equal(j.ok, true, `${action} failed: ${JSON.stringify(j)}`);
    return j;
  };
  return {
    call,
    graph: () => call('graph'),
    async entity(name) { return (await call('entity', { name })).entities[0]; },
    async reset() {
      for (const e of (await call('graph')).entities) await call('delete_entity', { name: e.name });
    },
    async seed(entities, relations = []) {
      for (const [name, entityType, observations = []] of entities) {
        const j = await call('add_entity', { name, entityType, observations });
        assert.equal(j.entities.length, 1, `seeding ${name}`);
      }
      for (const [from, to, relationType] of relations) await call('add_relation', { from, to, relationType });
    },
  };
}

// ---------------------------------------------------------------- the browser

let browser;
async function launch() {
  return chromium.launch({
    executablePath: CHROMIUM,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

// Reports every content-security violation of any frame to the console, where
// the page's guard below collects it with the other errors.
const REPORT_CSP = `document.addEventListener('securitypolicyviolation', function (e) {
  console.error('CSP violation: ' + e.violatedDirective + ' ' + e.blockedURI);
});`;

// A fresh context and page whose console errors, page errors, CSP violations
// and unexpected dialogs fail the test at close(). `allow` lists console
// errors that the test itself provokes (an HTTP error status, for one).
async function openPage(options = {}, allow = []) {
  const { init, ...contextOptions } = options;
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 }, ...contextOptions });
  await context.addInitScript(REPORT_CSP);
  if (init) await context.addInitScript(init);
  const page = await context.newPage();
  const problems = [];
  const dialogs = [];
  page.on('console', (m) => {
    if (m.type() === 'error' && !allow.some((re) => re.test(m.text()))) problems.push(`console: ${m.text()}`);
  });
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('dialog', async (d) => {
    const next = dialogs.shift();
    if (!next) {
      problems.push(`unexpected ${d.type()}: ${d.message()}`);
      await d.dismiss();
      return;
    }
    next.seen = { type: d.type(), message: d.message(), defaultValue: d.defaultValue() };
    if (next.answer === null) await d.dismiss();
    else await d.accept(next.answer);
  });
  return {
    page,
    context,
    problems,
    // Queues answers to the next dialogs: a text for a prompt, true for a
    // confirmation, null to cancel. Returns the records of what was asked.
    answer(...answers) {
      const recs = answers.map((a) => ({ answer: a === true ? undefined : a }));
      dialogs.push(...recs);
      return recs;
    },
    async close() {
      await context.close();
      assert.deepEqual(problems, [], 'the page reported errors');
      assert.equal(dialogs.length, 0, 'expected dialogs were not shown');
    },
  };
}

async function usePage(options, allow, fn) {
  const p = await openPage(options, allow);
  try {
    await fn(p);
  } catch (e) {
    await p.context.close().catch(() => {});
    // What the page reported usually explains a step that timed out.
    if (p.problems.length) throw new Error(`${e.message}\nthe page reported:\n  ${p.problems.join('\n  ')}`, { cause: e });
    throw e;
  }
  await p.close();
}

const text = (page, sel) => page.locator(sel).textContent();
const texts = (page, sel) => page.locator(sel).allTextContents();

async function waitFor(page, fn, arg) {
  await page.waitForFunction(fn, arg, { timeout: WAIT });
}

// Waits for the status line to read `msg` and checks its colour class.
async function statusIs(page, msg, kind) {
  await waitFor(page, (m) => document.getElementById('status').textContent === m, msg);
  assert.equal(await page.locator('#status').getAttribute('class'), kind ? `status ${kind}` : 'status');
}

async function titleIs(page, t) {
  await waitFor(page, (x) => document.getElementById('title').textContent === x, t);
}

// Waits until the list holds rows for exactly these names, in this order.
async function listIs(page, names) {
  await waitFor(page, (want) => {
    const got = Array.from(document.querySelectorAll('#list .row-name'), (e) => e.textContent);
    return JSON.stringify(got) === JSON.stringify(want);
  }, names);
}

async function goto(page, url) {
  const resp = await page.goto(url);
  assert.equal(resp.status(), 200);
  await waitFor(page, () => document.getElementById('tally').textContent !== 'loading');
  return resp;
}

async function openEntity(page, name) {
  await page.locator('#list .row', { has: page.locator('.row-name', { hasText: name }) }).first().click();
  await titleIs(page, name);
  await page.locator('#detail .card').first().waitFor({ timeout: WAIT });
}

async function obsTexts(page) {
  return texts(page, '#detail .card:nth-child(2) .items li .grow');
}

// Rows of a relation card as "other|word|type".
async function relRows(page, card) {
  return page.locator(`#detail .card:nth-child(${card}) .items li`).evaluateAll((lis) =>
    lis.map((li) => [li.querySelector('b').textContent, li.querySelector('.dim').textContent,
      li.querySelector('.rtype').textContent].join('|')));
}

async function shot(page, name) {
  fs.mkdirSync(ARTIFACTS, { recursive: true });
  await page.screenshot({ path: path.join(ARTIFACTS, `${name}.png`) });
}

before(async () => { browser = await launch(); });
after(async () => { await browser?.close(); });

// ---------------------------------------------------------------- open host

describe('page on an open host', () => {
  let host, api, url;
  before(async () => {
    host = await startHost();
    api = apiClient(host.origin);
    url = `${host.origin}/plugin_memory`;
  });
  after(async () => { await host?.stop(); });

  test('is served with its security policy, and the empty graph invites a first entity', async () => {
    await api.reset();
    await usePage({}, [], async ({ page }) => {
      const resp = await goto(page, url);
      const csp = resp.headers()['content-security-policy'];
      assert.match(csp, /default-src 'none'/);
      assert.match(csp, /script-src 'unsafe-inline'/);
      assert.equal(await page.title(), 'memory - knowledge graph');
      assert.equal(await page.locator('html').getAttribute('lang'), 'en');
      await waitFor(page, () => /^0 entities, 0 observations/.test(document.getElementById('tally').textContent));
      assert.equal(await text(page, '#list .empty'), 'Nothing hereAdd your first entity with the plus below.');
      assert.equal(await text(page, '#title'), 'Select an entity');
      assert.equal(await page.locator('#btnBack').isVisible(), false);
      assert.equal(await text(page, '#detail'), '');
      assert.equal(await page.locator('#q').getAttribute('placeholder'), 'Search names, types, observations');
      assert.equal(await page.locator('#btnNew').getAttribute('title'), 'New entity');
    });
  });

  test('creates an entity through the prompts and reports a name that already exists', async () => {
    await api.reset();
    await usePage({}, [/status of 400/], async (p) => {
      const { page } = p;
      const sent = [];
      page.on('request', (r) => { if (r.method() === 'POST') sent.push(JSON.parse(r.postData())); });
      await goto(page, url);

      // Cancelling the name, or giving a blank one, sends nothing.
      p.answer(null);
      await page.click('#btnNew');
      p.answer('   ');
      await page.click('#btnNew');
      // Cancelling the type sends nothing either.
      p.answer('Ada', null);
      await page.click('#btnNew');
      assert.deepEqual(sent, []);

      const [nameQ, typeQ] = p.answer('  Ada Lovelace ', 'person');
      await page.click('#btnNew');
      await statusIs(page, 'created Ada Lovelace', 'ok');
      assert.deepEqual(nameQ.seen, { type: 'prompt', message: 'Entity name', defaultValue: '' });
      assert.deepEqual(typeQ.seen, { type: 'prompt', message: 'Entity type', defaultValue: 'note' });
      await titleIs(page, 'Ada Lovelace');
      await listIs(page, ['Ada Lovelace']);
      assert.equal(await page.locator('body').getAttribute('data-view'), 'detail');
      assert.equal(await text(page, '#detail .type'), 'person');
      assert.equal(await text(page, '#detail .card:nth-child(2) .none'), 'No observations yet.');
      assert.equal(await text(page, '#detail .card:first-child .hint'), '0 observation(s), 0 relation(s)');

      // An empty type answer means "note".
      p.answer('Memo', '');
      await page.click('#btnNew');
      await statusIs(page, 'created Memo', 'ok');
      await titleIs(page, 'Memo');
      assert.equal(await text(page, '#detail .type'), 'note');

      // A type of spaces goes to the server as an empty type; its error shows.
      p.answer('Blank', '   ');
      await page.click('#btnNew');
      await statusIs(page, 'missing entityType', 'bad');

      // A name that is taken is reported as such, and that entity opens.
      await page.click('#btnBack');
      p.answer('Ada Lovelace', 'robot');
      await page.click('#btnNew');
      await statusIs(page, 'already exists: Ada Lovelace');
      await titleIs(page, 'Ada Lovelace');
      await waitFor(page, () => document.querySelector('#detail .type')?.textContent === 'person');

      const g = await api.graph();
      assert.deepEqual(g.entities.map((e) => [e.name, e.entityType]), [['Ada Lovelace', 'person'], ['Memo', 'note']]);
      assert.deepEqual(sent, [
        { name: 'Ada Lovelace', entityType: 'person', observations: [] },
        { name: 'Memo', entityType: 'note', observations: [] },
        { name: 'Blank', entityType: '', observations: [] },
        { name: 'Ada Lovelace', entityType: 'robot', observations: [] },
      ]);
    });
  });

  test('adds and removes observations, one of them holding a vertical bar', async () => {
    await api.reset();
    await api.seed([['Lab', 'place', ['x|y', 'x', 'y']]]);
    await usePage({}, [], async ({ page }) => {
      await goto(page, url);
      await openEntity(page, 'Lab');
      assert.deepEqual(await obsTexts(page), ['x|y', 'x', 'y']);

      // Blank input does nothing.
      await page.fill('#obsNew', '   ');
      await page.click('#detail button:text-is("Add")');
      await page.fill('#obsNew', ' has a | pipe ');
      await page.click('#detail button:text-is("Add")');
      await statusIs(page, 'observation added', 'ok');
      await waitFor(page, () => document.querySelectorAll('#detail .card:nth-child(2) .items li').length === 4);
      assert.deepEqual(await obsTexts(page), ['x|y', 'x', 'y', 'has a | pipe']);
      // Enter in the field adds as well; the list row and tally follow.
      await page.fill('#obsNew', 'fifth');
      await page.press('#obsNew', 'Enter');
      await waitFor(page, () => document.querySelectorAll('#detail .card:nth-child(2) .items li').length === 5);
      await waitFor(page, () => document.querySelector('#list .row-count').textContent === '5');
      assert.equal(await page.inputValue('#obsNew'), '');

      // Removing "x|y" removes exactly that text and not "x" or "y".
      await page.locator('#detail .card:nth-child(2) li', { hasText: 'x|y' }).locator('button').click();
      await statusIs(page, 'observation removed', 'ok');
      await waitFor(page, () => document.querySelectorAll('#detail .card:nth-child(2) .items li').length === 4);
      assert.deepEqual(await obsTexts(page), ['x', 'y', 'has a | pipe', 'fifth']);
      await page.locator('#detail .card:nth-child(2) li', { hasText: 'has a | pipe' }).locator('button').click();
      await waitFor(page, () => document.querySelectorAll('#detail .card:nth-child(2) .items li').length === 3);
      await waitFor(page, () => document.querySelector('#list .row-count').textContent === '3');
      assert.deepEqual((await api.entity('Lab')).observations, ['x', 'y', 'fifth']);
    });
  });

  test('links and unlinks, and the removed relation leaves the detail at once', async () => {
    await api.reset();
    await api.seed([['Alice', 'person'], ['Bob', 'person'], ['Acme', 'company']], [['Acme', 'Alice', 'employs']]);
    await usePage({}, [], async ({ page }) => {
      await goto(page, url);
      await openEntity(page, 'Alice');
      assert.equal(await text(page, '#detail .card:nth-child(5) h2'), 'New relation from Alice');
      assert.deepEqual(await page.locator('#relTo option').allTextContents(), ['target entity...', 'Bob', 'Acme']);
      assert.equal(await page.locator('#relTo option').first().getAttribute('value'), '');
      assert.deepEqual(await relRows(page, 4), ['Acme|from|employs']);
      assert.equal(await text(page, '#detail .card:nth-child(3) .none'), 'None yet.');

      await page.click('#detail button:text-is("Link")');
      await statusIs(page, 'pick a target entity', 'bad');
      // Reload clears the status line first.
      await page.click('#btnReload');
      await statusIs(page, '');
      await page.selectOption('#relTo', 'Bob');
      await page.fill('#relType', '  ');
      await page.click('#detail button:text-is("Link")');
      await statusIs(page, 'a relation needs a type', 'bad');
      await page.fill('#relType', 'works with | sometimes');
      await page.click('#detail button:text-is("Link")');
      await statusIs(page, 'linked', 'ok');
      await waitFor(page, () => document.querySelectorAll('#detail .card:nth-child(3) .items li').length === 1);
      assert.deepEqual(await relRows(page, 3), ['Bob|to|works with | sometimes']);
      assert.equal(await text(page, '#detail .card:first-child .hint'), '0 observation(s), 2 relation(s)');

      await openEntity(page, 'Bob');
      assert.deepEqual(await relRows(page, 4), ['Alice|from|works with | sometimes']);

      // Removing from Bob's side: the row goes, the graph no longer has it.
      await page.locator('#detail .card:nth-child(4) li button').click();
      await waitFor(page, () => document.getElementById('status').className === 'status ok');
      await waitFor(page, () => document.querySelector('#detail .card:nth-child(4) .none')?.textContent === 'None yet.');
      assert.equal(await text(page, '#detail .card:first-child .hint'), '0 observation(s), 0 relation(s)');
      const g = await api.graph();
      assert.deepEqual(g.relations, [{ from: 'Acme', to: 'Alice', relationType: 'employs' }]);
    });
  });

  test('deletes an entity only after the confirmation', async () => {
    await api.reset();
    await api.seed([['Temp', 'note', ['a']], ['Keep', 'note']], [['Keep', 'Temp', 'points at']]);
    await usePage({}, [], async (p) => {
      const { page } = p;
      await goto(page, url);
      await openEntity(page, 'Temp');

      const [q1] = p.answer(null);
      await page.click('#detail button:text-is("Delete entity")');
      assert.deepEqual(q1.seen, { type: 'confirm', message: 'Delete Temp and every relation touching it? This cannot be undone.', defaultValue: '' });
      assert.equal((await api.graph()).entities.length, 2);

      p.answer(true);
      await page.click('#detail button:text-is("Delete entity")');
      await waitFor(page, () => document.getElementById('status').className === 'status ok');
      assert.ok((await text(page, '#status')).length > 0);
      await listIs(page, ['Keep']);
      assert.equal(await page.locator('body').getAttribute('data-view'), null);
      assert.equal(await page.locator('#btnBack').isVisible(), false);
      assert.equal(await text(page, '#title'), 'Select an entity');
      assert.equal(await page.locator('#detail .card').count(), 0);
      const g = await api.graph();
      assert.deepEqual(g.entities.map((e) => e.name), ['Keep']);
      assert.deepEqual(g.relations, []);
    });
  });

  test('searches and filters by type chips', async () => {
    await api.reset();
    await api.seed([
      ['Zeta', 'person', ['likes Tea']],
      ['alpha', 'Project', ['deadline friday']],
      ['Gamma', 'person', []],
      ['delta', 'event', ['tea party']],
      ['Tea House', 'place', []],
    ]);
    await usePage({}, [], async ({ page }) => {
      await goto(page, url);
      await listIs(page, ['Zeta', 'alpha', 'Gamma', 'delta', 'Tea House']);
      assert.deepEqual(await texts(page, '#chips .chip'), ['all', 'event', 'person', 'place', 'Project']);
      assert.deepEqual(await texts(page, '#chips .chip.on'), ['all']);
      await waitFor(page, () => /^5 entities, 3 observations/.test(document.getElementById('tally').textContent));

      // A term matching only an observation lists the entity; case is folded.
      await page.fill('#q', 'FRIDAY');
      await listIs(page, ['alpha']);
      await page.fill('#q', ' tea ');
      await listIs(page, ['Zeta', 'delta', 'Tea House']);
      // A chip and the term combine.
      await page.click('#chips .chip:text-is("person")');
      await listIs(page, ['Zeta']);
      assert.deepEqual(await texts(page, '#chips .chip.on'), ['person']);
      await page.fill('#q', 'nothing like it');
      await listIs(page, []);
      assert.equal(await text(page, '#list .empty'), 'Nothing hereNo entity matches this filter.');
      // Escape empties the field at once.
      await page.press('#q', 'Escape');
      assert.equal(await page.inputValue('#q'), '');
      await listIs(page, ['Zeta', 'Gamma']);
      await page.click('#chips .chip:text-is("all")');
      await listIs(page, ['Zeta', 'alpha', 'Gamma', 'delta', 'Tea House']);
      // Enter opens the entity whose name equals the term, ignoring case.
      await page.fill('#q', '  tea house');
      await page.press('#q', 'Enter');
      await titleIs(page, 'Tea House');
      await waitFor(page, () => document.querySelector('#list .row.sel .row-name')?.textContent === 'Tea House');
    });
  });

  test('shows chips for the first 40 types only', async () => {
    await api.reset();
    const types = Array.from({ length: 45 }, (_, i) => `t${String(i).padStart(2, '0')}`);
    await api.seed(types.map((t, i) => [`e${i}`, t]).reverse());
    await usePage({}, [], async ({ page }) => {
      await goto(page, url);
      await listIs(page, types.map((_, i) => `e${i}`).reverse());
      assert.deepEqual(await texts(page, '#chips .chip'), ['all', ...types.slice(0, 40)]);
    });
  });

  test('shows Gone for an entity deleted behind the page', async () => {
    await api.reset();
    await api.seed([['Ghost', 'note'], ['Stays', 'note']]);
    await usePage({}, [], async ({ page }) => {
      await goto(page, url);
      await listIs(page, ['Ghost', 'Stays']);
      await api.call('delete_entity', { name: 'Ghost' });
      await page.locator('#list .row', { hasText: 'Ghost' }).click();
      await waitFor(page, () => document.querySelector('#detail .gone') !== null);
      assert.equal(await text(page, '#title'), 'Ghost');
      assert.equal(await text(page, '#detail'), 'GoneThat entity is no longer in the graph.');
      // Reload brings the list up to date and clears the status line.
      await page.click('#btnReload');
      await listIs(page, ['Stays']);
    });
  });

  test('shows markup in names, types, observations and relations as text and runs none of it', async () => {
    await api.reset();
    const evil = '<img src=x onerror=alert(1)>';
    const evilType = '"><svg onload=alert(2)>';
    const evilObs = "<script>alert(3)</script> & 'quotes'";
    await api.seed([[evil, evilType, [evilObs]], ['plain', 'note']], [['plain', evil, '<b>rel</b>']]);
    await usePage({}, [], async ({ page }) => {
      await goto(page, url);
      await listIs(page, [evil, 'plain']);
      assert.deepEqual(await texts(page, '#chips .chip'), ['all', evilType, 'note']);
      await openEntity(page, evil);
      assert.equal(await text(page, '#detail .type'), evilType);
      assert.deepEqual(await obsTexts(page), [evilObs]);
      assert.deepEqual(await relRows(page, 4), ['plain|from|<b>rel</b>']);
      assert.equal(await text(page, '#detail .card:nth-child(5) h2'), `New relation from ${evil}`);
      await openEntity(page, 'plain');
      assert.deepEqual(await page.locator('#relTo option').allTextContents(), ['target entity...', evil]);
      assert.equal(await page.locator('#relTo option').nth(1).getAttribute('value'), evil);
      assert.equal(await page.locator('#list img, #chips svg, #detail img, #detail script, #detail .rtype b').count(), 0);

      // The marked-up name is also sent back exactly: link to it and delete it.
      await page.selectOption('#relTo', evil);
      await page.fill('#relType', 'knows');
      await page.click('#detail button:text-is("Link")');
      await statusIs(page, 'linked', 'ok');
      assert.equal((await api.graph()).relations.length, 2);
    });
  });

  test('switches between list and detail on a narrow screen', async () => {
    await api.reset();
    await api.seed([['Narrow', 'note', ['small screens']]]);
    await usePage({ viewport: { width: 390, height: 800 } }, [], async ({ page }) => {
      await goto(page, url);
      assert.equal(await page.locator('#side').isVisible(), true);
      assert.equal(await page.locator('#main').isVisible(), false);
      const box = await page.locator('#side').boundingBox();
      assert.ok(box.height <= 800 * 0.46 + 1, `side pane is ${box.height}px high`);
      await openEntity(page, 'Narrow');
      assert.equal(await page.locator('body').getAttribute('data-view'), 'detail');
      assert.equal(await page.locator('#side').isVisible(), false);
      assert.equal(await page.locator('#main').isVisible(), true);
      assert.equal(await page.locator('#btnBack').isVisible(), true);
      await page.click('#btnBack');
      assert.equal(await page.locator('body').getAttribute('data-view'), null);
      assert.equal(await page.locator('#side').isVisible(), true);
      assert.equal(await page.locator('#main').isVisible(), false);
      assert.equal(await text(page, '#title'), 'Select an entity');
      assert.match(await text(page, '#detail'), /No entity selected\s*Pick one on the left, or search to find it by keyword\./);
    });
    // At 821 pixels both panes show side by side.
    await usePage({ viewport: { width: 821, height: 600 } }, [], async ({ page }) => {
      await goto(page, url);
      assert.equal(await page.locator('#side').isVisible(), true);
      assert.equal(await page.locator('#main').isVisible(), true);
      assert.equal((await page.locator('#side').boundingBox()).width, 320);
    });
  });

  test('talks to the route it was reached through', async () => {
    await api.reset();
    await api.seed([['Routed', 'note']]);
    for (const [address, prefix] of [
      ['/plugins?plugin=plugin_memory&node=n%201', '/plugins?plugin=plugin_memory&action='],
      ['/plugin_memory?node=n%201', '/plugin_memory?action='],
    ]) {
      await usePage({}, [], async ({ page }) => {
        const seen = [];
        page.on('request', (r) => { if (r.resourceType() === 'fetch') seen.push(r.url().slice(host.origin.length)); });
        await goto(page, host.origin + address);
        await listIs(page, ['Routed']);
        await openEntity(page, 'Routed');
        // Edits take the same route.
        await page.fill('#obsNew', `via ${prefix.slice(1, 8)}`);
        await page.click('#detail button:text-is("Add")');
        await statusIs(page, 'observation added', 'ok');
        assert.ok(seen.some((u) => u.startsWith(`${prefix}add_obs&`)), seen.join('\n'));
        assert.ok(seen.length >= 5);
        for (const u of seen) {
          assert.ok(u.startsWith(prefix), `${u} does not start with ${prefix}`);
          assert.match(u, /&node=n%201(&|$)/);
          assert.doesNotMatch(u, /pwd=/);
        }
        assert.ok(seen.includes(`${prefix}entity&node=n%201&name=Routed`), seen.join('\n'));
      });
    }
    assert.deepEqual((await api.entity('Routed')).observations, ['via plugins', 'via plugin_']);
  });

  test('takes the theme from the address, from storage and from the colour-scheme preference', async () => {
    const cases = [
      // [address query, stored theme, colour scheme, expected theme]
      ['?theme=light', 'dark', 'dark', 'light'],
      ['?theme=dark', 'light', 'light', 'dark'],
      ['?x=1&theme=light', null, 'dark', 'light'],
      ['?theme=lightish', null, 'dark', 'dark'],
      ['', 'light', 'dark', 'light'],
      ['', 'dark', 'light', 'dark'],
      ['', 'purple', 'light', 'light'],
      ['', null, 'light', 'light'],
      ['', null, 'dark', 'dark'],
      // A browser that cannot be asked for its preference gets dark.
      ['', null, 'light', 'dark', 'window.matchMedia = undefined;'],
    ];
    for (const [query, stored, scheme, want, extra = ''] of cases) {
      const init = `try { localStorage.clear(); ${stored === null ? '' : `localStorage.setItem('bot_theme', ${JSON.stringify(stored)});`} } catch (e) {} ${extra}`;
      await usePage({ colorScheme: scheme, init }, [], async ({ page }) => {
        await goto(page, url + query);
        const got = await page.evaluate(() => ({
          attr: document.documentElement.getAttribute('data-theme'),
          stored: localStorage.getItem('bot_theme'),
          bg: getComputedStyle(document.documentElement).getPropertyValue('--bg').trim(),
          body: getComputedStyle(document.body).backgroundColor,
          scheme: getComputedStyle(document.documentElement).colorScheme,
          api: window.twTheme(),
        }));
        const label = `query "${query}", stored ${stored}, scheme ${scheme} ${extra}`;
        assert.deepEqual(got, {
          attr: want, stored: want, api: want, scheme: want,
          bg: want === 'light' ? '#f5f5f7' : '#000000',
          body: want === 'light' ? 'rgb(245, 245, 247)' : 'rgb(0, 0, 0)',
        }, label);
      });
    }
  });

  test('sets embed mode only for embed=1 or embed=true', async () => {
    for (const [query, want] of [['?embed=1', true], ['?a=b&embed=true', true], ['?embed=true&x=1', true],
      ['?embed=yes', false], ['?embed=truex', false], ['', false]]) {
      await usePage({}, [], async ({ page }) => {
        await goto(page, url + query);
        assert.equal(await page.evaluate(() => document.documentElement.classList.contains('embedded')), want, query);
        assert.equal(await page.locator('#btnTheme').isVisible(), true);
      });
    }
  });

  test('switches the theme with its button and tells other scripts', async () => {
    await usePage({ colorScheme: 'dark' }, [], async ({ page }) => {
      await goto(page, url + '?theme=dark');
      await page.evaluate(() => {
        window.events = [];
        window.addEventListener('bot-theme', (e) => window.events.push(e.detail));
      });
      await page.click('#btnTheme');
      assert.equal(await page.getAttribute('html', 'data-theme'), 'light');
      await page.click('#btnTheme');
      await page.evaluate(() => { window.twApplyTheme('dark'); window.twApplyTheme('sepia'); });
      assert.deepEqual(await page.evaluate(() => [window.events, localStorage.getItem('bot_theme'), window.twTheme()]),
        [['light', 'dark'], 'dark', 'dark']);
      // Loaded at top level, the page asks nobody for a theme.
      const asked = await page.evaluate(() => new Promise((resolve) => {
        let n = 0;
        window.addEventListener('message', (e) => { if (e.data && e.data.type === 'tw-theme-request') n++; });
        setTimeout(() => resolve(n), 200);
      }));
      assert.equal(asked, 0);
    });
  });

  test('follows the theme of a host page that shows it in a frame', async () => {
    await usePage({ colorScheme: 'dark' }, [], async ({ page }) => {
      // The host page must share the page's origin (the page allows framing
      // only by its own origin), so it is served here by routing.
      const parentUrl = `${host.origin}/host-frame.html`;
      await page.route(parentUrl, (route) => route.fulfill({
        contentType: 'text/html',
        body: `<!doctype html><title>host</title><script>
          window.requests = 0;
          window.addEventListener('message', (e) => {
            if (e.data && e.data.type === 'tw-theme-request') {
              window.requests++;
              e.source.postMessage({ type: 'tw-theme', theme: 'light' }, '*');
            }
          });
        </script><iframe id="f" src="/plugin_memory?theme=dark&embed=1" style="width:1000px;height:600px"></iframe>`,
      }));
      await page.goto(parentUrl);
      const frame = page.frameLocator('#f');
      await frame.locator('html[data-theme="light"]').waitFor({ state: 'attached', timeout: WAIT });
      const child = page.frames().find((f) => f.url().includes('/plugin_memory'));
      await child.waitForFunction(() => document.getElementById('tally').textContent !== 'loading', null, { timeout: WAIT });
      assert.equal(await page.evaluate(() => window.requests), 1);
      assert.equal(await child.evaluate(() => localStorage.getItem('bot_theme')), 'light');
      assert.equal(await child.evaluate(() => document.documentElement.classList.contains('embedded')), true);

      await child.evaluate(() => {
        window.events = [];
        window.addEventListener('bot-theme', (e) => window.events.push(e.detail));
      });
      const send = (theme) => page.evaluate((t) => document.getElementById('f').contentWindow.postMessage({ type: 'tw-theme', theme: t }, '*'), theme);
      await send('light');   // the current theme: no event
      await send('blue');    // not a theme: ignored
      await send('dark');
      await child.waitForFunction(() => document.documentElement.getAttribute('data-theme') === 'dark', null, { timeout: WAIT });
      await page.evaluate(() => document.getElementById('f').contentWindow.postMessage({ type: 'other', theme: 'light' }, '*'));
      await child.waitForTimeout(100);
      assert.deepEqual(await child.evaluate(() => [window.events, window.twTheme()]), [['dark'], 'dark']);
    });
  });

  test('saves screenshots of the list and of an open entity in both themes', async () => {
    await api.reset();
    await api.seed([
      ['Ada Lovelace', 'person', ['Wrote the first published algorithm', 'Worked with Charles Babbage | 1842-1843']],
      ['Charles Babbage', 'person', ['Designed the Analytical Engine']],
      ['Analytical Engine', 'machine', ['Mechanical general-purpose computer', 'Never completed']],
      ['London', 'place', []],
      ['Notes on the Engine', 'document', ['Translated from Menabrea']],
    ], [
      ['Ada Lovelace', 'Charles Babbage', 'worked with'],
      ['Charles Babbage', 'Analytical Engine', 'designed'],
      ['Ada Lovelace', 'Notes on the Engine', 'wrote'],
      ['Charles Babbage', 'Ada Lovelace', 'corresponded with'],
    ]);
    for (const theme of ['dark', 'light']) {
      for (const [tag, width, height] of [['wide', 1280, 800], ['narrow', 390, 844]]) {
        await usePage({ viewport: { width, height } }, [], async ({ page }) => {
          await goto(page, `${url}?theme=${theme}`);
          await listIs(page, ['Ada Lovelace', 'Charles Babbage', 'Analytical Engine', 'London', 'Notes on the Engine']);
          await shot(page, `page-list-${theme}-${tag}`);
          await openEntity(page, 'Ada Lovelace');
          await page.fill('#obsNew', 'Born in London');
          await page.click('#detail button:text-is("Add")');
          await statusIs(page, 'observation added', 'ok');
          await waitFor(page, () => document.querySelectorAll('#detail .card:nth-child(2) .items li').length === 3);
          await shot(page, `page-entity-${theme}-${tag}`);
          await page.locator('#detail .card:nth-child(2) li', { hasText: 'Born in London' }).locator('button').click();
          await waitFor(page, () => document.querySelectorAll('#detail .card:nth-child(2) .items li').length === 2);
        });
      }
    }
  });
});

// ---------------------------------------------------------------- password

describe('page on a host guarded by a password', () => {
  const PASSWORD = 'pa ss&w+rd%';
  const enc = encodeURIComponent(PASSWORD);
  let host, api;
  before(async () => {
    host = await startHost({ password: PASSWORD });
    api = apiClient(host.origin, PASSWORD);
    await api.seed([['Secret', 'note', ['behind the password']]]);
  });
  after(async () => { await host?.stop(); });

  test('refuses the page and the API without the password', async () => {
    for (const u of ['/plugin_memory', '/plugin_memory?action=graph', `/plugin_memory?pwd=wrong`]) {
      const r = await fetch(host.origin + u);
      assert.equal(r.status, 401, u);
      assert.deepEqual(await r.json(), { ok: false, error: 'invalid node password' });
    }
  });

  // [label, address query, stored items, password the calls carry or null
  // when they are refused]
  const cases = [
    ['from the address', `?pwd=${enc}`, {}, PASSWORD],
    ['from the address over both storage keys', `?node=n1&pwd=${enc}`, { bot_pwd_n1: 'wrong', bot_active_pwd: 'wrong' }, PASSWORD],
    ['from the node key', '?node=n1', { bot_pwd_n1: PASSWORD, bot_active_pwd: 'wrong' }, PASSWORD],
    ['from the active key when the node has none', '?node=n2', { bot_pwd_n1: 'wrong', bot_active_pwd: PASSWORD }, PASSWORD],
    ['from the active key without a node', '', { bot_pwd_n1: 'wrong', bot_active_pwd: PASSWORD }, PASSWORD],
    ['that is wrong and shows the refusal', '?node=n1', { bot_pwd_n1: 'wrong' }, null],
  ];
  for (const [label, query, stored, carried] of cases) {
    test(`takes the password ${label}`, async () => {
      const init = `try { localStorage.clear(); ${Object.entries(stored).map(([k, v]) =>
        `localStorage.setItem(${JSON.stringify(k)}, ${JSON.stringify(v)});`).join(' ')} } catch (e) {}`;
      await usePage({ init }, carried ? [] : [/status of 401/], async ({ page }) => {
        const calls = [];
        page.on('request', (r) => { if (r.resourceType() === 'fetch') calls.push(r); });
        // The page itself is guarded as well. Without a password in the
        // address, its own request gets one as a header here, so that only
        // the page's script can supply it to the API calls.
        if (!query.includes('pwd=')) {
          await page.route((u) => u.pathname === '/plugin_memory' && !u.searchParams.has('action'),
            (route) => route.continue({ headers: { ...route.request().headers(), 'x-bot-password': PASSWORD } }));
        }
        const resp = await page.goto(`${host.origin}/plugin_memory${query}`);
        assert.equal(resp.status(), 200);
        if (!carried) {
          await statusIs(page, 'could not read the graph: HTTP 401', 'bad');
          for (const r of calls) assert.equal(new URL(r.url()).searchParams.get('pwd'), 'wrong');
          return;
        }
        await listIs(page, ['Secret']);
        await openEntity(page, 'Secret');
        assert.ok(calls.length >= 3);
        for (const r of calls) {
          assert.ok(r.url().includes(`&pwd=${enc}`), r.url());
          assert.equal(r.headers()['x-bot-password'], PASSWORD);
        }
      });
    });
  }
});

describe('page on a host whose password is not plain ASCII', () => {
  const PASSWORD = 'grüße 🔑';
  let host;
  before(async () => {
    host = await startHost({ password: PASSWORD });
    const r = await fetch(`${host.origin}/plugin_memory?action=add_entity&pwd=${encodeURIComponent(PASSWORD)}&name=Umlaut&entityType=note`);
    assert.equal((await r.json()).ok, true);
  });
  after(async () => { await host?.stop(); });

  test('sends it in the address only, since a header cannot hold it', async () => {
    await usePage({}, [], async ({ page }) => {
      const calls = [];
      page.on('request', (r) => { if (r.resourceType() === 'fetch') calls.push(r); });
      await goto(page, `${host.origin}/plugin_memory?pwd=${encodeURIComponent(PASSWORD)}`);
      await listIs(page, ['Umlaut']);
      await openEntity(page, 'Umlaut');
      await page.fill('#obsNew', 'still reachable');
      await page.click('#detail button:text-is("Add")');
      await statusIs(page, 'observation added', 'ok');
      assert.ok(calls.length >= 4);
      for (const r of calls) {
        assert.equal(new URL(r.url()).searchParams.get('pwd'), PASSWORD);
        assert.equal(r.headers()['x-bot-password'], undefined);
      }
    });
  });
});
