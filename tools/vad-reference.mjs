#!/usr/bin/env node
// Reference speech probabilities for a 16 kHz mono WAV file, computed by ONNX Runtime from the
// official Silero VAD v6 ONNX file, the way the app's gate feeds its own network: 4096-sample
// windows, each run as 8 steps of 512 samples preceded by the 64 samples before them (zeros before
// the first window), the recurrent state carried from step to step and window to window, and the
// window's probability 1 − Π(1 − pᵢ) over its 8 steps. A trailing part shorter than a window is
// not analysed (the gate keeps it pending).
//
// Usage: node tools/vad-reference.mjs MODEL.onnx INPUT.wav > OUTPUT.csv
//        node tools/vad-reference.mjs --bench MODEL.onnx INPUT.wav
// The second form times ONNX Runtime instead (one thread, every window of the file, best of five
// passes after a warm-up) and prints {"microsPerWindow": …, "cpuMicrosPerWindow": …, "windows": …}
// for bench/vad: wall-clock and processor time per window.
// Output columns: window, first sample, probability, speech decision (hysteresis 0.55 / 0.35,
// speech before the first window), then the 8 step probabilities.
// Needs onnxruntime-node from `scripts/setup.sh --reference` (or NODE_PATH pointing at one).
import { createRequire } from 'node:module';
import { readFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const root = join(dirname(fileURLToPath(import.meta.url)), '..');

function loadRuntime() {
    const require = createRequire(join(root, '.deps', 'reference', 'package.json'));
    try {
        return require('onnxruntime-node');
    } catch (error) {
        throw new Error(`onnxruntime-node not found (run scripts/setup.sh --reference): ${error.message}`);
    }
}

// The samples of a RIFF/WAVE file as floats: 16 kHz, one channel, 16-bit integer or 32-bit float.
export function readWav(path) {
    const bytes = readFileSync(path);
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const tag = (offset) => bytes.toString('latin1', offset, offset + 4);
    if (bytes.length < 12 || tag(0) !== 'RIFF' || tag(8) !== 'WAVE') throw new Error(`${path}: not a WAV file`);
    let format = null;
    let data = null;
    for (let offset = 12; offset + 8 <= bytes.length;) {
        const id = tag(offset);
        const size = view.getUint32(offset + 4, true);
        const body = offset + 8;
        const end = Math.min(body + size, bytes.length);
        if (id === 'fmt ') {
            let code = view.getUint16(body, true);
            if (code === 0xfffe && size >= 26) code = view.getUint16(body + 24, true); // extensible
            format = {
                code,
                channels: view.getUint16(body + 2, true),
                rate: view.getUint32(body + 4, true),
                bits: view.getUint16(body + 14, true),
            };
        } else if (id === 'data') {
            data = { offset: body, end };
        }
        offset = body + size + (size & 1);
    }
    if (!format || !data) throw new Error(`${path}: no fmt or data chunk`);
    if (format.channels !== 1 || format.rate !== 16000) {
        throw new Error(`${path}: need 16 kHz mono, got ${format.rate} Hz, ${format.channels} channels`);
    }
    if (format.code === 1 && format.bits === 16) {
        const count = Math.floor((data.end - data.offset) / 2);
        const samples = new Float32Array(count);
        for (let i = 0; i < count; i++) samples[i] = view.getInt16(data.offset + 2 * i, true) / 32768;
        return samples;
    }
    if (format.code === 3 && format.bits === 32) {
        const count = Math.floor((data.end - data.offset) / 4);
        const samples = new Float32Array(count);
        for (let i = 0; i < count; i++) samples[i] = view.getFloat32(data.offset + 4 * i, true);
        return samples;
    }
    throw new Error(`${path}: need 16-bit integer or 32-bit float samples`);
}

export const windowSamples = 4096;
export const stepSamples = 512;
export const contextSamples = 64;
export const stepsPerWindow = windowSamples / stepSamples;

// Runs every whole window of `samples`; returns [{probability, steps: [p0..p7]}].
export async function windowProbabilities(ort, session, samples) {
    const windows = Math.floor(samples.length / windowSamples);
    // The 64 samples before the first window are zeros: the gate's context after a reset.
    const padded = new Float32Array(contextSamples + windows * windowSamples);
    padded.set(samples.subarray(0, windows * windowSamples), contextSamples);
    const sr = new ort.Tensor('int64', BigInt64Array.from([16000n]), []);
    let state = new ort.Tensor('float32', new Float32Array(2 * 128), [2, 1, 128]);
    const results = [];
    for (let w = 0; w < windows; w++) {
        const steps = [];
        let none = 1;
        for (let s = 0; s < stepsPerWindow; s++) {
            const start = (w * stepsPerWindow + s) * stepSamples;
            const chunk = padded.slice(start, start + contextSamples + stepSamples);
            const out = await session.run({
                input: new ort.Tensor('float32', chunk, [1, chunk.length]),
                state,
                sr,
            });
            const p = out.output.data[0];
            state = out.stateN;
            steps.push(p);
            none *= 1 - p;
        }
        results.push({ probability: 1 - none, steps });
    }
    return results;
}

export async function createSession(ort, model) {
    return ort.InferenceSession.create(model, {
        intraOpNumThreads: 1,
        interOpNumThreads: 1,
        executionMode: 'sequential',
    });
}

export { loadRuntime };

async function bench(model, wav) {
    const ort = loadRuntime();
    const session = await createSession(ort, model);
    const samples = readWav(wav);
    const windows = Math.floor(samples.length / windowSamples);
    await windowProbabilities(ort, session, samples.subarray(0, 20 * windowSamples));
    let best = Infinity;
    let bestCpu = Infinity;
    for (let pass = 0; pass < 5; pass++) {
        const start = process.hrtime.bigint();
        const cpuStart = process.cpuUsage();
        await windowProbabilities(ort, session, samples);
        const cpu = process.cpuUsage(cpuStart);
        best = Math.min(best, Number(process.hrtime.bigint() - start) / 1000 / windows);
        bestCpu = Math.min(bestCpu, (cpu.user + cpu.system) / windows);
    }
    process.stdout.write(JSON.stringify({ microsPerWindow: best, cpuMicrosPerWindow: bestCpu, windows }) + '\n');
}

async function main() {
    if (process.argv[2] === '--bench') {
        return bench(process.argv[3], process.argv[4]);
    }
    const [model, wav] = process.argv.slice(2);
    if (!model || !wav) {
        process.stderr.write('usage: node tools/vad-reference.mjs MODEL.onnx INPUT.wav > OUTPUT.csv\n');
        process.exit(2);
    }
    const ort = loadRuntime();
    const session = await createSession(ort, model);
    const results = await windowProbabilities(ort, session, readWav(wav));
    const lines = ['window,first_sample,probability,speech,' + [...Array(stepsPerWindow).keys()].map((s) => `step${s}`).join(',')];
    let speech = true;
    results.forEach(({ probability, steps }, w) => {
        const p = Math.min(Math.max(probability, 0), 1);
        if (p >= 0.55) speech = true;
        else if (p < 0.35) speech = false;
        lines.push([w, w * windowSamples, p.toPrecision(9), speech ? 1 : 0, ...steps.map((x) => x.toPrecision(9))].join(','));
    });
    process.stdout.write(lines.join('\n') + '\n');
}

if (process.argv[1] && fileURLToPath(import.meta.url) === process.argv[1]) {
    main().catch((error) => {
        process.stderr.write(`vad-reference: ${error.message}\n`);
        process.exit(1);
    });
}
