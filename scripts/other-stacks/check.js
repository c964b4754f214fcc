// SPDX-License-Identifier: GPL-3.0-or-later
// Checks zorp-slave and zorp-poll against two Modbus stacks that the test
// suite does not use: the JavaScript libraries modbus-serial and jsmodbus
// (clients and servers). Run by scripts/other-stacks.sh, which installs them
// from the npm registry into a folder of their own; not part of the tests.
//
//   node check.js BUILD_DIR
//
// Every peer listens on or connects to 127.0.0.1 only. Prints one line per
// check and a summary; the exit status is the number of failed checks.
"use strict";

const { spawn, execFile } = require("child_process");
const net = require("net");
const path = require("path");

const ModbusRTU = require("modbus-serial");
const jsmodbus = require("jsmodbus");

const build = path.resolve(process.argv[2] || "build");
const slaveBin = path.join(build, "zorp-slave");
const pollBin = path.join(build, "zorp-poll");

let failed = 0;
let passed = 0;
function check(name, ok, detail) {
    if (ok) {
        passed++;
        console.log(`ok    ${name}`);
    } else {
        failed++;
        console.log(`FAIL  ${name}${detail ? ": " + detail : ""}`);
    }
}
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);

function freePort() {
    return new Promise((resolve, reject) => {
        const s = net.createServer();
        s.listen(0, "127.0.0.1", () => {
            const p = s.address().port;
            s.close(() => resolve(p));
        });
        s.on("error", reject);
    });
}

// Starts zorp-slave with ARGS and resolves once it prints "listening".
function startSlave(args) {
    return new Promise((resolve, reject) => {
        const child = spawn(slaveBin, args, { stdio: ["ignore", "pipe", "pipe"] });
        let out = "";
        const timer = setTimeout(() => reject(new Error("zorp-slave did not start: " + out)), 5000);
        child.stdout.on("data", (d) => {
            out += d;
            if (/^listening/m.test(out)) {
                clearTimeout(timer);
                resolve(child);
            }
        });
        child.stderr.on("data", (d) => { out += d; });
        child.on("exit", (code) => reject(new Error(`zorp-slave exited (${code}): ${out}`)));
    });
}

// Runs zorp-poll with ARGS (CSV output) and resolves with its exit code, the
// values column of its rows and its error meanings.
function poll(args) {
    return new Promise((resolve) => {
        execFile(pollBin, [...args, "--format", "csv", "--timeout", "1000", "--retries", "0"],
            { timeout: 10000 }, (err, stdout, stderr) => {
                const rows = stdout.trim().split("\n").slice(1).filter((l) => l).map((l) => l.split(","));
                resolve({
                    code: err ? (err.code ?? -1) : 0,
                    values: rows.map((r) => r[4]),
                    errors: rows.map((r) => r[6]).filter((e) => e),
                    stdout, stderr,
                });
            });
    });
}

const registers = [1, 2, 3, 4, 5, 6, 7, 8, 9, 10];
const slaveImage = [
    "--registers", "0=" + registers.join(","),
    "--coils", "0=1,0,1,1,0,0,1,0,1",
    "--inputs", "0=100,200,300",
    "--discrete", "0=0,1,1,0,1",
    "--device-id", "Bench vendor,Bench product,1.2",
];

// ---- clients of other stacks against zorp-slave --------------------------------

async function modbusSerialAgainstSlave(rtu) {
    const label = rtu ? "modbus-serial (RTU over TCP) -> zorp-slave" : "modbus-serial (TCP) -> zorp-slave";
    const port = await freePort();
    const slave = await startSlave([rtu ? "--rtu-tcp" : "--tcp", String(port), "--bind", "127.0.0.1", ...slaveImage]);
    const c = new ModbusRTU();
    try {
        if (rtu) {
            await c.connectTelnet("127.0.0.1", { port });
        } else {
            await c.connectTCP("127.0.0.1", { port });
        }
        c.setID(1);
        c.setTimeout(2000);
        check(`${label}: 03`, same((await c.readHoldingRegisters(0, 10)).data, registers));
        check(`${label}: 04`, same((await c.readInputRegisters(0, 3)).data, [100, 200, 300]));
        check(`${label}: 01`, same((await c.readCoils(0, 9)).data.slice(0, 9),
            [true, false, true, true, false, false, true, false, true]));
        check(`${label}: 02`, same((await c.readDiscreteInputs(0, 5)).data.slice(0, 5),
            [false, true, true, false, true]));
        await c.writeRegister(20, 0xBEEF);
        await c.writeRegisters(21, [1, 65535, 32768]);
        check(`${label}: 06 and 16 read back`, same((await c.readHoldingRegisters(20, 4)).data, [0xBEEF, 1, 65535, 32768]));
        await c.writeCoil(30, true);
        await c.writeCoils(31, [true, false, true, true, false, true, true, true, true, false, true]);
        check(`${label}: 05 and 15 read back`, same((await c.readCoils(30, 12)).data.slice(0, 12),
            [true, true, false, true, true, false, true, true, true, true, false, true]));
        // modbus-serial's RTU framing over TCP knows the answer lengths of
        // functions 1 to 6, 15 and 16 only; the others are checked over TCP.
        if (!rtu) {
            // (0x1234 AND 0xF0F0) OR (0x0025 AND NOT 0xF0F0) = 0x1030 OR 0x0005
            await c.writeRegister(40, 0x1234);
            await c.maskWriteRegister(40, 0xF0F0, 0x0025);
            check(`${label}: 22`, same((await c.readHoldingRegisters(40, 1)).data, [0x1035]),
                JSON.stringify((await c.readHoldingRegisters(40, 1)).data));
            const rw = await c.readWriteRegisters(50, 2, 50, 2, [7, 8]);
            check(`${label}: 23 (write first)`, same(rw.data, [7, 8]), JSON.stringify(rw.data));
            const id = await c.readDeviceIdentification(1, 0);
            check(`${label}: 43/14`, id.data[0] === "Bench vendor" && id.data[1] === "Bench product" && id.data[2] === "1.2",
                JSON.stringify(id.data));
        }
        try {
            await c.readHoldingRegisters(65530, 10);
            check(`${label}: exception 02 beyond the image`, false, "no exception");
        } catch (e) {
            check(`${label}: exception 02 beyond the image`, e.modbusCode === 2, String(e.message));
        }
        if (!rtu) {
            try {
                await c.reportServerID(0, 0);
                check(`${label}: exception 01 for function 17`, false, "no exception");
            } catch (e) {
                check(`${label}: exception 01 for function 17`, e.modbusCode === 1, String(e.message));
            }
            try {
                await c.customFunction(65, [0, 1, 2]);
                check(`${label}: exception 01 for function 65`, false, "no exception");
            } catch (e) {
                check(`${label}: exception 01 for function 65`, e.modbusCode === 1, String(e.message));
            }
        }
        check(`${label}: a read after the exceptions`, same((await c.readHoldingRegisters(0, 10)).data, registers));
    } catch (e) {
        check(`${label}`, false, String(e && e.message || e));
    } finally {
        await new Promise((r) => c.close(r));
        slave.kill();
    }
}

async function jsmodbusAgainstSlave() {
    const label = "jsmodbus (TCP) -> zorp-slave";
    const port = await freePort();
    const slave = await startSlave(["--tcp", String(port), "--bind", "127.0.0.1", ...slaveImage]);
    const socket = new net.Socket();
    const c = new jsmodbus.client.TCP(socket, 1, 2000);
    try {
        await new Promise((resolve, reject) => {
            socket.once("connect", resolve);
            socket.once("error", reject);
            socket.connect({ host: "127.0.0.1", port });
        });
        check(`${label}: 03`, same((await c.readHoldingRegisters(0, 10)).response.body.values, registers));
        check(`${label}: 04`, same((await c.readInputRegisters(0, 3)).response.body.values, [100, 200, 300]));
        check(`${label}: 01`, same((await c.readCoils(0, 9)).response.body.valuesAsArray.slice(0, 9),
            [1, 0, 1, 1, 0, 0, 1, 0, 1]));
        check(`${label}: 02`, same((await c.readDiscreteInputs(0, 5)).response.body.valuesAsArray.slice(0, 5),
            [0, 1, 1, 0, 1]));
        await c.writeSingleRegister(60, 4660);
        await c.writeMultipleRegisters(61, [1, 2, 65535]);
        check(`${label}: 06 and 16 read back`, same((await c.readHoldingRegisters(60, 4)).response.body.values, [4660, 1, 2, 65535]));
        await c.writeSingleCoil(70, true);
        await c.writeMultipleCoils(71, [true, false, true]);
        check(`${label}: 05 and 15 read back`, same((await c.readCoils(70, 4)).response.body.valuesAsArray.slice(0, 4),
            [1, 1, 0, 1]));
        try {
            await c.readHoldingRegisters(0, 126);
            check(`${label}: exception 03 for 126 registers`, false, "no exception");
        } catch (e) {
            check(`${label}: exception 03 for 126 registers`,
                e && e.response && e.response.body && e.response.body.code === 3, JSON.stringify(e && e.err || e));
        }
        check(`${label}: a read after the exception`, same((await c.readHoldingRegisters(0, 10)).response.body.values, registers));
    } catch (e) {
        check(`${label}`, false, JSON.stringify(e && (e.message || e.err) || e));
    } finally {
        socket.destroy();
        slave.kill();
    }
}

// ---- zorp-poll against servers of other stacks ---------------------------------

async function pollAgainst(label, port, image) {
    const link = ["--tcp", `127.0.0.1:${port}`, "--unit", "1"];
    let r = await poll([...link, "--function", "3", "--address", "1", "--count", "10"]);
    check(`${label}: 03`, r.code === 0 && same(r.values.map(Number), image.registers.slice(0, 10)), r.stdout + r.stderr);
    r = await poll([...link, "--function", "4", "--address", "1", "--count", "3"]);
    check(`${label}: 04`, r.code === 0 && same(r.values.map(Number), image.inputs.slice(0, 3)), r.stdout + r.stderr);
    r = await poll([...link, "--function", "1", "--address", "1", "--count", "5"]);
    check(`${label}: 01`, r.code === 0 && same(r.values.map(Number), image.coils.slice(0, 5)), r.stdout + r.stderr);
    r = await poll([...link, "--function", "2", "--address", "1", "--count", "5"]);
    check(`${label}: 02`, r.code === 0 && same(r.values.map(Number), image.discrete.slice(0, 5)), r.stdout + r.stderr);
    r = await poll([...link, "--function", "6", "--address", "21", "--write", "48879"]);
    check(`${label}: 06 lands`, r.code === 0 && image.registers[20] === 48879, r.stdout + r.stderr + image.registers[20]);
    r = await poll([...link, "--function", "16", "--address", "22", "--type", "f32", "--write", "1.5"]);
    check(`${label}: 16 (float 1.5) lands as 3FC0 0000`, r.code === 0 && image.registers[21] === 0x3FC0 && image.registers[22] === 0,
        r.stdout + r.stderr + image.registers.slice(21, 23));
    r = await poll([...link, "--function", "5", "--address", "31", "--write", "1"]);
    check(`${label}: 05 lands`, r.code === 0 && image.coils[30] === 1, r.stdout + r.stderr);
    r = await poll([...link, "--function", "15", "--address", "33", "--write", "1,0,1"]);
    check(`${label}: 15 lands`, r.code === 0 && same(image.coils.slice(32, 35), [1, 0, 1]), r.stdout + r.stderr);
}

async function modbusSerialServer() {
    const label = "zorp-poll -> modbus-serial server";
    const image = {
        registers: Array.from({ length: 100 }, (_, i) => (i * 7 + 3) & 0xFFFF),
        inputs: [11, 22, 33, 44],
        coils: [1, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0],
        discrete: [0, 1, 0, 1, 1],
    };
    const vector = {
        getHoldingRegister: (a) => image.registers[a] ?? 0,
        getInputRegister: (a) => image.inputs[a] ?? 0,
        getCoil: (a) => Boolean(image.coils[a]),
        getDiscreteInput: (a) => Boolean(image.discrete[a]),
        setRegister: (a, v) => { image.registers[a] = v; },
        setCoil: (a, v) => { image.coils[a] = v ? 1 : 0; },
    };
    const port = await freePort();
    const server = new ModbusRTU.ServerTCP(vector, { host: "127.0.0.1", port, unitID: 1 });
    await new Promise((resolve) => server.on("initialized", resolve));
    try {
        await pollAgainst(label, port, image);
    } finally {
        await new Promise((r) => server.close(r));
    }
}

async function jsmodbusServer() {
    const label = "zorp-poll -> jsmodbus server";
    const holding = Buffer.alloc(200);
    const input = Buffer.alloc(20);
    const coils = Buffer.alloc(8);
    const discrete = Buffer.alloc(8);
    for (let i = 0; i < 100; i++) holding.writeUInt16BE((i * 13 + 1) & 0xFFFF, i * 2);
    [5, 6, 7, 8].forEach((v, i) => input.writeUInt16BE(v, i * 2));
    coils[0] = 0b00010110;
    discrete[0] = 0b00001010;
    const bits = (buf, n) => Array.from({ length: n }, (_, i) => (buf[i >> 3] >> (i & 7)) & 1);
    const image = {
        get registers() { return Array.from({ length: 100 }, (_, i) => holding.readUInt16BE(i * 2)); },
        inputs: [5, 6, 7, 8],
        get coils() { return bits(coils, 40); },
        discrete: bits(discrete, 8),
    };
    const netServer = new net.Server();
    new jsmodbus.server.TCP(netServer, { holding, input, coils, discrete });
    const port = await freePort();
    await new Promise((resolve) => netServer.listen(port, "127.0.0.1", resolve));
    try {
        await pollAgainst(label, port, image);
    } finally {
        await new Promise((r) => netServer.close(r));
    }
}

// A peer that never answers must not hold the check up.
setTimeout(() => {
    console.log("FAIL  the checks did not end within 120 s");
    process.exit(failed + 1);
}, 120000).unref();

(async () => {
    const run = async (f, ...a) => {
        try {
            await f(...a);
        } catch (e) {
            check(f.name, false, String(e && e.message || e));
        }
    };
    await run(modbusSerialAgainstSlave, false);
    await run(modbusSerialAgainstSlave, true);
    await run(jsmodbusAgainstSlave);
    await run(modbusSerialServer);
    await run(jsmodbusServer);
    console.log(`${passed} passed, ${failed} failed`);
    process.exit(failed);
})();
