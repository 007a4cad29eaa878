/**
 * Settings of the Node-RED that the kit's tests and demo start
 * (nalo_sdk.peers.ThrowawayNodeRed): a private instance on loopback that
 * needs no network beyond 127.0.0.1 and leaves nothing behind.
 *
 * The port comes from --port (else $PORT, else 1880) and the user directory
 * from --userDir (else $NALO_NODE_RED_USER_DIR, else a new temporary
 * directory, which is then left for its caller to remove).
 */
const fs = require("fs");
const os = require("os");
const path = require("path");

function userDir() {
    if (process.env.NALO_NODE_RED_USER_DIR) {
        return process.env.NALO_NODE_RED_USER_DIR;
    }
    // --userDir on the command line wins over this setting: create nothing.
    const given = process.argv.some(
        (arg) => arg === "-u" || arg === "--userDir" || arg.startsWith("--userDir="));
    if (given) {
        return undefined;
    }
    return fs.mkdtempSync(path.join(os.tmpdir(), "nalo-node-red-"));
}

module.exports = {
    // The editor and the admin API listen on loopback only.
    uiHost: "127.0.0.1",
    uiPort: process.env.PORT || 1880,
    userDir: userDir(),
    flowFile: "flows.json",
    flowFilePretty: true,
    // Credentials of test flows are throwaway: keep them unencrypted rather
    // than write a generated key into the user directory.
    credentialSecret: false,

    // Nothing that phones home: no usage pings, no update check, no module
    // installs (runtime or palette), no module catalogue in the editor.
    telemetry: {
        enabled: false,
        updateNotification: false,
    },
    externalModules: {
        autoInstall: false,
        palette: {
            allowInstall: false,
            allowUpdate: false,
            allowUpload: false,
        },
        modules: {
            allowInstall: false,
        },
    },
    functionExternalModules: false,
    diagnostics: {
        enabled: false,
        ui: false,
    },
    runtimeState: {
        enabled: false,
        ui: false,
    },
    editorTheme: {
        tours: false,
        palette: {
            catalogues: [],
        },
        projects: {
            enabled: false,
        },
    },

    logging: {
        console: {
            level: process.env.NALO_NODE_RED_LOG_LEVEL || "info",
            metrics: false,
            audit: false,
        },
    },
};
