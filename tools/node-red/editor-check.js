'use strict';
/**
 * The Python node in Node-RED's editor, in a real browser: Debian's chromium,
 * headless, driven by playwright-core (the dev dependency pinned beside this
 * script, which downloads no browser). Against a running Node-RED whose flow
 * holds a `nalo-python` node NODE_ID: the node is in the palette, its dialog
 * opens, an edit is saved into the flow and deployed, its help renders; the
 * package's example detection-stream.json is served by the runtime's example
 * library (Import > Examples) and imports with every node type known.
 * Screenshots go to OUT_DIR, the imported example's alone to
 * OUT_DIR/detection-stream.png (the README's picture). Prints one line per
 * check; exits 1 on the first failure.
 *
 *   NODE_PATH=<node-red install>/node_modules node editor-check.js URL NODE_ID OUT_DIR
 */
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const [url, nodeId, outDir] = process.argv.slice(2);
const CHROMIUM = process.env.NALO_CHROMIUM || '/usr/bin/chromium';
const EXAMPLE = 'library/examples/flows/@nalo/node-red-python/detection-stream';
const ARGS = [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
];

async function check(name, page, fn) {
    try {
        await fn();
        console.log(`ok: ${name}`);
    } finally {
        await page.screenshot({ path: path.join(outDir, `${name.replace(/\W+/g, '-')}.png`) });
    }
}

async function main() {
    if (!url || !nodeId || !outDir) {
        throw new Error('usage: editor-check.js URL NODE_ID OUT_DIR');
    }
    fs.mkdirSync(outDir, { recursive: true });
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'nalo-chromium-'));
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: CHROMIUM,
        headless: true,
        args: ARGS,
        viewport: { width: 1400, height: 900 },
    });
    try {
        const page = context.pages()[0] || (await context.newPage());
        // Only Node-RED itself, on loopback.
        await page.route('**/*', (route) => {
            const target = new URL(route.request().url());
            return ['127.0.0.1', 'localhost'].includes(target.hostname) ? route.continue() : route.abort();
        });
        await page.goto(url);

        await check('palette', page, async () => {
            const entry = page.locator('.red-ui-palette-node[data-palette-type="nalo-python"]');
            await entry.waitFor({ timeout: 30000 });
            const label = (await entry.textContent()).trim();
            if (label !== 'python') {
                throw new Error(`palette label ${JSON.stringify(label)}`);
            }
        });

        await check('dialog', page, async () => {
            await page.evaluate((id) => RED.editor.edit(RED.nodes.node(id)), nodeId);
            for (const field of ['#node-input-name', '#node-input-code-editor', '#node-input-interpreter', '#node-input-policy']) {
                await page.locator(field).waitFor({ state: 'visible', timeout: 10000 });
            }
            // The code editor (Monaco or ace, as the editor is set up) shows the node's code.
            await page.locator('#node-input-code-editor').filter({ hasText: 'on_input' }).waitFor({ timeout: 10000 });
        });

        await check('edit saved', page, async () => {
            await page.fill('#node-input-name', 'edited in the browser');
            await page.fill('#node-input-timeout', '7');
            await page.selectOption('#node-input-policy', 'drop-oldest');
            await page.click('#node-dialog-ok');
            await page.locator('#node-dialog-ok').waitFor({ state: 'detached', timeout: 10000 });
            const saved = await page.evaluate((id) => {
                const node = RED.nodes.node(id);
                return { name: node.name, timeout: String(node.timeout), policy: node.policy, changed: node.changed, code: node.code };
            }, nodeId);
            const want = { name: 'edited in the browser', timeout: '7', policy: 'drop-oldest', changed: true };
            for (const key of Object.keys(want)) {
                if (saved[key] !== want[key]) {
                    throw new Error(`${key} is ${JSON.stringify(saved[key])} after saving, not ${JSON.stringify(want[key])}`);
                }
            }
            if (!/def on_input/.test(saved.code || '')) {
                throw new Error(`the code was lost on saving: ${JSON.stringify(saved.code)}`);
            }
            await page.click('#red-ui-header-button-deploy');
            await page.waitForFunction(() => !RED.nodes.dirty(), null, { timeout: 15000 });
        });

        await check('help', page, async () => {
            await page.evaluate(() => RED.sidebar.help.show('nalo-python'));
            const help = page.locator('.red-ui-help');
            await help.filter({ hasText: 'on_input(msg, node)' }).first().waitFor({ timeout: 10000 });
            const sections = await help.locator('h3').allTextContents();
            for (const heading of ['Inputs', 'Outputs', 'Details']) {
                if (!sections.includes(heading)) {
                    throw new Error(`no ${heading} section in the help (${sections.join(', ')})`);
                }
            }
            if ((await help.locator('dl.message-properties').count()) < 2) {
                throw new Error('the help lists no message properties');
            }
        });

        await check('example flow', page, async () => {
            // What Import > Examples does once the example is chosen.
            const shown = await page.evaluate(async (path) => {
                const flow = await $.getJSON(path);
                RED.view.importNodes(flow, { generateIds: false });
                const tab = flow.find((n) => n.type === 'tab');
                RED.workspaces.show(tab.id);
                RED.view.select({ nodes: [] });
                const unknown = flow.filter((n) => n.z === tab.id && RED.nodes.node(n.id) && RED.nodes.node(n.id)._def.category === 'unknown');
                return { nodes: flow.length, unknown: unknown.map((n) => n.type) };
            }, EXAMPLE);
            if (shown.unknown.length > 0) {
                throw new Error(`node types unknown to the editor: ${shown.unknown.join(', ')}`);
            }
            await page.evaluate(() => {
                RED.menu.setSelected('menu-item-sidebar', false);
                RED.menu.setSelected('menu-item-palette', false);
                $('.red-ui-notification').remove(); // "Imported: 1 flow ..."
            });
            await page.waitForTimeout(500);
            const chart = await page.locator('#red-ui-workspace-chart').boundingBox();
            await page.screenshot({
                path: path.join(outDir, 'detection-stream.png'),
                clip: { x: chart.x, y: chart.y, width: Math.min(chart.width, 1110), height: 290 },
            });
        });
    } finally {
        await context.close();
        fs.rmSync(profile, { recursive: true, force: true });
    }
}

main().then(
    () => process.exit(0),
    (err) => {
        console.error(`FAILED: ${err && err.stack}`);
        process.exit(1);
    },
);
