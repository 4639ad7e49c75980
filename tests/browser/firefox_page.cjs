// Opens a page in Firefox ESR, driven by puppeteer-core over WebDriver BiDi
// (no browser is downloaded), waits until it shows `count` codes, and prints
// them as JSON: each code's port and exact bytes (data-hex), newest first.
//   NODE_PATH=.../node_modules node firefox_page.cjs URL COUNT TIMEOUT_MS
// (CommonJS: NODE_PATH finds the package only for require.)
const puppeteer = require("puppeteer-core");

(async () => {
  const [url, count, timeoutMs] = process.argv.slice(2);
  const browser = await puppeteer.launch({ browser: "firefox", executablePath: "/usr/bin/firefox-esr", headless: true });
  try {
    const page = await browser.newPage();
    await page.goto(url);
    await page.waitForFunction((n) => document.querySelectorAll("#codes li").length >= n,
                               { timeout: Number(timeoutMs), polling: 50 }, Number(count));
    const shown = await page.$$eval("#codes li", (items) => items.map((li) => [li.dataset.port, li.dataset.hex]));
    console.log(JSON.stringify(shown));
  } finally {
    await browser.close();
  }
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
