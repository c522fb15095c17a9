// Drives the settings page in Debian's headless Chromium through
// puppeteer-core, step by step with the test program that started it: after
// each step it prints one line ("STEP name: details") and waits for a line
// on standard input before it goes on, so that the test can look at the
// server between steps (a real client's read, the configuration file).
// Usage: node drive.js URL FOLDER SHOTS_DIR PROFILE_DIR
// Exits 0 after the last step; 1 with a line saying why otherwise. When
// its standard input closes, it closes the browser and ends.
"use strict";
const path = require("path");
const readline = require("readline");
const puppeteer = require("puppeteer-core");

const [url, folder, shots, profile] = process.argv.slice(2);
const chromium = process.env.VORLIX_CHROMIUM || "/usr/bin/chromium";
// Generous waits: a loaded machine must not fail the test.
const wait = 60000;

const lines = readline.createInterface({ input: process.stdin });
const pending = [];
let closed = false;
lines.on("line", (l) => { const r = pending.shift(); if (r) r(l); });
lines.on("close", () => { closed = true; for (const r of pending.splice(0)) r("(its input closed)"); });
function go() {
  return new Promise((resolve) => { if (closed) resolve("(its input closed)"); else pending.push(resolve); });
}

async function step(name, details) {
  process.stdout.write("STEP " + name + ": " + (details || "") + "\n");
  const answer = await go();
  if (answer !== "go") throw new Error("the test said: " + answer);
}

async function shot(page, name) {
  const file = path.join(shots, "admin-" + name + ".png");
  await page.screenshot({ path: file, fullPage: true });
  return file;
}

// The text of the message line once it has changed from before.
async function message(page, before) {
  await page.waitForFunction((b) => {
    const m = document.getElementById("msg");
    return m.className !== "" && m.textContent !== b;
  }, { timeout: wait }, before);
  return page.$eval("#msg", (m) => m.className + ": " + m.textContent);
}

// Sets who may mount the export to the networks typed, through its row's
// chooser; the message the page then shows.
async function allowOnly(page, exportPath, networks) {
  const row = "#exports tr[data-path=" + JSON.stringify(exportPath) + "] ";
  await page.click(row + "button.change");
  await page.waitForSelector(row + ".row-edit");
  await page.$eval(row + "input[value=list]", (i) => { i.checked = true; });
  await page.$eval(row + ".row-edit input[type=text]", (i, v) => { i.value = v; }, networks);
  const before = await page.$eval("#msg", (m) => m.textContent);
  await page.click(row + "button.save");
  return message(page, before);
}

async function main() {
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    // No sandbox: the test may run as root, where Chromium refuses it.
    args: ["--no-sandbox", "--no-first-run", "--no-default-browser-check", "--disable-gpu",
           "--disable-dev-shm-usage", "--user-data-dir=" + profile],
    timeout: wait,
  });
  try {
    const page = await browser.newPage();
    page.setDefaultTimeout(wait);
    await page.setViewport({ width: 1100, height: 800 });
    await page.goto(url, { waitUntil: "networkidle0" });
    await page.waitForSelector("#exports tbody");
    await step("opened", await shot(page, "exports-empty"));

    // Share the folder: browse to it with the picker, from the top.
    await page.click("#browse");
    await page.waitForSelector("#picker-list li");
    const parts = folder.split("/").filter(Boolean);
    for (const p of parts) {
      const sel = "#picker-list li[data-name=" + JSON.stringify(p) + "]";
      await page.waitForSelector(sel);
      await page.click(sel);
      await page.waitForFunction((want) => document.getElementById("picker-path").textContent.endsWith(want),
                                 { timeout: wait }, "/" + p);
    }
    const picker = await shot(page, "picker");
    await page.click("#picker-choose");
    const chosen = await page.$eval("#add-folder", (i) => i.value);
    await page.$eval("#add-path", (i) => { i.value = "/films"; });
    const before = await page.$eval("#msg", (m) => m.textContent);
    await page.click("#add-submit");
    const added = await message(page, before);
    await page.waitForSelector("#exports tr[data-path='/films']");
    await step("added", added + " | folder " + chosen + " | " + picker + " " + await shot(page, "exports-added"));

    // Who is connected: the test holds a mount of /films open meanwhile.
    await page.click("#tab-clients");
    await page.waitForFunction(() => {
      const rows = [...document.querySelectorAll("#clients tbody tr")];
      const mounts = document.querySelector("#mounts tbody").textContent;
      return rows.some((r) => r.textContent.includes("127.0.0.1") && r.textContent.includes("/films")) &&
             mounts.includes("/films");
    }, { timeout: wait });
    // A few polls, for a plot with more than one point.
    await new Promise((r) => setTimeout(r, 4500));
    const who = await page.$eval("#clients tbody", (t) => t.innerText.replace(/\s+/g, " ")) +
      " | events: " + await page.$eval("#events", (p) => p.textContent.split("\n").filter((l) => / event=(reload|mount) /.test(l)).join(" / "));
    await step("connected", who + " | " + await shot(page, "clients"));
    await page.click("#tab-exports");

    // Let only a network this machine is not on mount it.
    const changed = await allowOnly(page, "/films", "10.9.9.0/24");
    await page.waitForFunction(() => {
      const c = document.querySelector("#exports tr[data-path='/films'] .who-cell");
      return c && c.textContent.startsWith("10.9.9.0/24");
    }, { timeout: wait });
    await step("changed", changed + " | " + await shot(page, "exports-changed"));

    // A mistake: a network that is not one.
    const refused = await allowOnly(page, "/films", "10.0.0.0/33");
    await step("mistake", refused + " | " + await shot(page, "mistake"));

    // How to connect.
    await page.click("#tab-connect");
    await page.waitForSelector(".connect-export[data-path='/films'] pre");
    const connect = await page.$$eval(".connect-export[data-path='/films'] pre", (ps) => ps.map((p) => p.textContent));
    await step("connect", JSON.stringify(connect) + " | " + await shot(page, "connect"));
    // Closed as a person closes it: the page says it goes.
    await page.close({ runBeforeUnload: true });
    await new Promise((r) => setTimeout(r, 1000));
  } finally {
    await browser.close();
  }
}

main().then(() => { lines.close(); process.exit(0); },
            (e) => { process.stdout.write("FAILED " + (e && e.stack || e) + "\n"); process.exit(1); });
