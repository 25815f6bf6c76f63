// The page in Chromium, as a person uses it: log in (a wrong password
// first), the libraries and the top-rated grid, a movie, a similar movie,
// a backdrop added from a share path and all deleted, the conversion page,
// log out; then the same grid on a phone-sized screen. One screenshot per
// page goes to $KINORO_SCREENSHOTS.
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const credentials = JSON.parse(readFileSync(process.env.KINORO_CREDENTIALS, 'utf8'));
const base = credentials.url;
const shots = process.env.KINORO_SCREENSHOTS;
mkdirSync(shots, { recursive: true });
const saved = [];
const failures = [];

async function shot(page, name) {
  const path = join(shots, `${name}.png`);
  await page.screenshot({ path, fullPage: true });
  saved.push(path);
}

async function step(name, fn) {
  try {
    await fn();
    console.log(`ok:   ${name}`);
  } catch (e) {
    console.log(`FAIL: ${name}\n      ${String(e.stack || e).split('\n').slice(0, 4).join('\n      ')}`);
    failures.push(name);
    throw e;
  }
}

const sentences = (await (await fetch(new URL('/webapi/openapi.json', base))).json())['x-error-codes'];
assert.ok(sentences['400'], 'the reference names error 400');

async function logIn(page, account, password) {
  await page.fill('#login-form input[name=account]', account);
  await page.fill('#login-form input[name=passwd]', password);
  await page.click('#login-form button[type=submit]');
}

const texts = (locator) => locator.evaluateAll((els) => els.map((e) => e.textContent.trim()));
const imageShown = (page, selector) =>
  page.waitForFunction(
    (s) => {
      const img = document.querySelector(s);
      return img && img.complete && img.naturalWidth > 0 && !img.classList.contains('missing');
    },
    selector,
    { timeout: 10000 }
  );

const browser = await chromium.launch({
  executablePath: process.env.KINORO_CHROMIUM,
  // Chromium's sandbox refuses to run as root.
  args: process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [],
});
try {
  const desktop = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  const page = await desktop.newPage();
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(String(e)));
  page.on('console', (m) => m.type() === 'error' && pageErrors.push(m.text()));

  await step('a wrong password is refused in words', async () => {
    await page.goto(base);
    await page.waitForSelector('#login-form');
    await shot(page, 'login');
    await logIn(page, 'admin', 'not the password');
    const message = page.locator('#login-form .message.error');
    await message.waitFor();
    assert.equal(await message.textContent(), sentences['400']);
    await shot(page, 'login-refused');
  });

  await step('log in; the libraries newest first and the top-rated grid', async () => {
    await logIn(page, 'admin', credentials.admin);
    await page.waitForSelector('#top-rated .card');
    const libraries = await texts(page.locator('#libraries .library .title'));
    assert.deepEqual(libraries, ['Home videos', 'Films', 'Kids', 'Series']);
    const cards = await texts(page.locator('#top-rated .card .title'));
    assert.ok(cards.length >= 10, `${cards.length} cards`);
    assert.equal(cards[0], 'The Godfather');
    await shot(page, 'home');
    // The session is the HttpOnly cookie and nothing else the page holds.
    const sid = (await desktop.cookies()).find((c) => c.name === 'id');
    assert.ok(sid && sid.httpOnly, 'an HttpOnly session cookie');
    const held = await page.evaluate(() =>
      [location.href, document.documentElement.outerHTML, JSON.stringify(localStorage),
       JSON.stringify(sessionStorage), document.cookie].join('\n'));
    assert.ok(!held.includes(sid.value), 'the sid appears in the page');
  });

  let similarTitle = '';
  await step('a movie with its backdrop, files and facts, and a similar movie', async () => {
    await page.click('#top-rated .card:has-text("The Shawshank Redemption")');
    await page.waitForSelector('article.movie h1:has-text("The Shawshank Redemption")');
    await imageShown(page, '#backdrop');
    assert.match(await page.locator('.files').textContent(),
                 /\/kinoro-demo-media\/films\/The Shawshank Redemption/);
    assert.match(await page.locator('.facts').textContent(), /Frank Darabont/);
    await page.waitForSelector('#similar .card');
    await shot(page, 'movie');
    similarTitle = (await page.locator('#similar .card .title').first().textContent()).trim();
    await page.locator('#similar .card').first().click();
    await page.waitForSelector(`article.movie h1:has-text(${JSON.stringify(similarTitle)})`);
    await page.waitForSelector('#similar .card, #similar .quiet:not(:has-text("Looking"))');
    await shot(page, 'similar');
  });

  await step('add a backdrop from a share path, see it, fail in words, delete all', async () => {
    const form = page.locator('#backdrop-form');
    const message = form.locator('.message');
    await form.locator('select[name=source]').selectOption('sharepath');
    await form.locator('input[name=where]').fill('/kinoro-demo-pictures/alien-poster.jpg');
    await form.locator('button[type=submit]').click();
    await page.waitForFunction(() => document.querySelector('#backdrop-form .message').textContent === 'Backdrop added.');
    await imageShown(page, '#backdrop');
    assert.match(await page.locator('#backdrop').getAttribute('src'), /[?&]v=\d+/);
    await shot(page, 'backdrop-added');

    await form.locator('input[name=where]').fill('/kinoro-demo-pictures/no-such-picture.jpg');
    await form.locator('button[type=submit]').click();
    await form.locator('.message.error').waitFor();
    assert.equal(await message.textContent(), sentences['117'] || 'error 117');

    await form.locator('button.danger').click();
    await page.waitForFunction(() => document.querySelector('#backdrop-form .message').textContent === 'All backdrops deleted.');
    await page.waitForSelector('#backdrop.missing', { state: 'attached' });
    await shot(page, 'backdrops-deleted');
  });

  await step('the conversion page says conversion is not available', async () => {
    await page.click('nav a[href="#/conversion"]');
    const notice = page.locator('#conversion .message');
    await page.waitForSelector('#conversion .message.notice');
    assert.equal(await notice.textContent(), 'Offline conversion is not available on this system.');
    await shot(page, 'conversion');
  });

  await step('log out; the session is gone', async () => {
    await page.click('#logout');
    await page.waitForSelector('#login-form');
    await page.goto(base);
    await page.reload();
    await page.waitForSelector('#login-form');
    assert.equal(await page.locator('#nav').isHidden(), true);
    await shot(page, 'logged-out');
    assert.deepEqual(pageErrors.filter((e) => !/404|401|Failed to load resource/.test(e)), []);
  });
  await desktop.close();

  await step('a phone-sized screen shows the same grid, usable', async () => {
    const phone = await browser.newContext({
      viewport: { width: 390, height: 844 },
      deviceScaleFactor: 2,
      isMobile: true,
      hasTouch: true,
    });
    const p = await phone.newPage();
    await p.goto(base);
    await p.waitForSelector('#login-form');
    await logIn(p, 'alice', credentials.alice);
    await p.waitForSelector('#top-rated .card');
    // alice cannot see the private Kids library.
    assert.deepEqual(await texts(p.locator('#libraries .library .title')), ['Home videos', 'Films', 'Series']);
    const boxes = await p.locator('#top-rated .card').evaluateAll((els) =>
      els.slice(0, 2).map((e) => e.getBoundingClientRect().toJSON()));
    assert.equal(Math.round(boxes[0].top), Math.round(boxes[1].top), 'two cards a row');
    assert.ok(boxes[1].right <= 390, 'the second card fits the screen');
    assert.ok(await p.evaluate(() => document.documentElement.scrollWidth <= 390), 'no sideways scrolling');
    await shot(p, 'phone-home');
    await p.locator('#top-rated .card').first().tap();
    await p.waitForSelector('article.movie h1');
    assert.ok(await p.evaluate(() => document.documentElement.scrollWidth <= 390), 'no sideways scrolling');
    await shot(p, 'phone-movie');
    await phone.close();
  });
} catch (e) {
  // Reported by step(); what is left is to exit non-zero.
  if (!failures.length) console.log(`FAIL: ${e.stack || e}`);
  process.exitCode = 1;
} finally {
  await browser.close();
  console.log('screenshots:');
  for (const path of saved) console.log(`  ${path}`);
}
