// kavelo in the browser: the dice engine compiled to WebAssembly (kavelo.wasm, beside this
// file), with the Python module's functions, results and error texts.
//
//   import { roll, run, trace, replay, odds, ResourcePolicy } from "./kavelo.mjs";
//   roll("4d6kh3+2")        // {expression, total, rolls, details, comment}
//
// Every request draws its dice from its own ChaCha-12 generator, keyed with 32 bytes from
// crypto.getRandomValues. Results are the Python dictionaries as plain objects; an
// integer past Number.MAX_SAFE_INTEGER (a total, an outcome of the odds) is a BigInt.
// Errors of the engine throw KaveloError with the Python text in `message`; the module
// running out of memory, or a fault of the program, throws KaveloFault.

const WASM_URL = new URL("./kavelo.wasm", import.meta.url);

/** An error of the engine: `message` is the text the Python module raises. */
export class KaveloError extends Error {
  constructor(message, code = "", english = "") {
    super(message);
    this.name = "KaveloError";
    this.code = code;
    this.english = english;
  }
}

/** The engine stopped: it ran out of memory (`outOfMemory`), or faulted (a bug). */
export class KaveloFault extends Error {
  constructor(message, outOfMemory) {
    super(message);
    this.name = "KaveloFault";
    this.outOfMemory = outOfMemory;
  }
}

// ---------------------------------------------------------------------------------------
// The WebAssembly instance

const encoder = new TextEncoder();
// Bytes that are not UTF-8 (which the engine does not write) would become U+FFFD, as the
// Python module's decoding of error texts makes them.
const decoder = new TextDecoder();

const WASI_EBADF = 8;
const WASI_EIO = 29;

async function wasmBytes() {
  if (WASM_URL.protocol === "file:") {
    // Node.js and other runtimes without fetch for files.
    const { readFile } = await import("node:fs/promises");
    return readFile(WASM_URL);
  }
  const response = await fetch(WASM_URL);
  if (!response.ok) throw new Error(`kavelo.wasm: ${response.status} ${response.statusText}`);
  return response.arrayBuffer();
}

const compiled = await WebAssembly.compile(await wasmBytes());

let wasm = null; // the exports of the live instance
let faultText = null; // set by the instance before it traps
let outOfMemory = false;

function instantiate() {
  let memory = null;
  const imports = {
    kavelo: {
      out_of_memory() {
        outOfMemory = true;
      },
      fault(pointer, size) {
        faultText = decoder.decode(new Uint8Array(memory.buffer, pointer, size));
      },
    },
    wasi_snapshot_preview1: {
      // The key of every request's generator: getentropy asks for 32 bytes.
      random_get(pointer, size) {
        try {
          for (let done = 0; done < size; done += 65536) {
            const part = Math.min(65536, size - done);
            crypto.getRandomValues(new Uint8Array(memory.buffer, pointer + done, part));
          }
          return 0;
        } catch {
          return WASI_EIO;
        }
      },
      // The engine writes to no file; the C library links these in for its error output.
      fd_write: () => WASI_EBADF,
      fd_seek: () => WASI_EBADF,
      fd_close: () => WASI_EBADF,
    },
  };
  const instance = new WebAssembly.Instance(compiled, imports);
  memory = instance.exports.memory;
  instance.exports._initialize();
  return instance.exports;
}

// Runs `body` with the live instance. A trap, or the engine running out of stack, leaves
// the instance in an unknown state: it is dropped, and the next call starts a fresh one.
// Errors of the arguments and of the engine's answers pass through.
function call(body) {
  if (wasm === null) wasm = instantiate();
  faultText = null;
  outOfMemory = false;
  try {
    return body(wasm);
  } catch (error) {
    const stopped = error instanceof WebAssembly.RuntimeError || outOfMemory || faultText !== null ||
      (error instanceof RangeError && /call stack/i.test(error.message));
    if (!stopped) throw error;
    wasm = null;
    if (outOfMemory) {
      throw new KaveloFault("out of memory: the request needs more than the 2 GiB the engine can hold", true);
    }
    throw new KaveloFault(`internal fault: ${faultText ?? error.message}`, false);
  }
}

const bytesAt = (w, pointer, size) => new Uint8Array(w.memory.buffer, pointer, size);

function outputText(w) {
  return decoder.decode(bytesAt(w, w.kavelo_output(), w.kavelo_output_size()));
}

const toNumber = (big) => (big >= -9007199254740991n && big <= 9007199254740991n ? Number(big) : big);

// Integers past 2^53 - 1 are read from their source text as BigInt.
function wideReviver(key, value, context) {
  if (typeof value === "number" && !Number.isSafeInteger(value) && Number.isInteger(value)) {
    return BigInt(context.source);
  }
  return value;
}

const SOURCE_ACCESS = (() => {
  let seen = false;
  JSON.parse("1", (key, value, context) => {
    seen = context?.source === "1";
    return value;
  });
  return seen;
})();

const WIDE_MARK = "\u0000";

// JSON text with integers past 2^53 - 1 read as BigInt. Where JSON.parse does not hand
// revivers the source text, each long run of digits outside strings (the engine writes
// integers nowhere else) is first wrapped as {"\u0000": "digits"}, a key no result has.
function parseWide(text) {
  if (SOURCE_ACCESS) return JSON.parse(text, wideReviver);
  const marked = text.replace(/"(?:[^"\\]|\\.)*"|-?\d{16,}/g, (token) =>
    token.startsWith('"') ? token : `{"\\u0000":"${token}"}`);
  return JSON.parse(marked, (key, value) => {
    if (value === null || typeof value !== "object" || Array.isArray(value)) return value;
    const keys = Object.keys(value);
    return keys.length === 1 && keys[0] === WIDE_MARK ? toNumber(BigInt(value[WIDE_MARK])) : value;
  });
}

const ANSWER_JSON = 0;
const ANSWER_JSON_WIDE = 1;
const ANSWER_ERROR = 2;

// The answer an entry point left in the output: its value, or its error thrown.
function answer(w, kind) {
  if (kind === ANSWER_JSON) return JSON.parse(outputText(w));
  if (kind === ANSWER_JSON_WIDE) return parseWide(outputText(w));
  if (kind === ANSWER_ERROR) {
    const { message, code, english } = JSON.parse(outputText(w));
    throw new KaveloError(message, code, english);
  }
  throw new KaveloFault(`internal fault: unknown answer ${kind}`, false);
}

// An error the module finds itself (a face or an option out of range), with the code
// and English text of its row in the engine's error table, as the engine's own errors.
function refusal(message) {
  return call((w) => {
    try {
      answer(w, w.kavelo_explain(putRaw(w, message)));
    } catch (error) {
      if (error instanceof KaveloError) return error;
      throw error;
    }
    return new KaveloError(message);
  });
}

// ---------------------------------------------------------------------------------------
// Arguments

// The name of a value's type as the Python module's messages name the matching type.
function pythonTypeName(value) {
  if (value === null || value === undefined) return "NoneType";
  switch (typeof value) {
    case "string": return "str";
    case "boolean": return "bool";
    case "number": return Number.isInteger(value) ? "int" : "float";
    case "bigint": return "int";
    case "function": return "function";
    default: return Array.isArray(value) ? "list" : "object";
  }
}

function requireString(value, name) {
  if (typeof value !== "string") {
    throw new TypeError(`argument '${name}': '${pythonTypeName(value)}' object cannot be converted to 'PyString'`);
  }
}

function requireText(value, name) {
  requireString(value, name);
  if (!value.isWellFormed()) throw encodeError(value);
}

// A text holding a lone surrogate has no UTF-8 form: the error Python's encoder raises.
function encodeError(text) {
  const points = Array.from(text);
  const lone = (c) => c.length === 1 && c.charCodeAt(0) >= 0xd800 && c.charCodeAt(0) <= 0xdfff;
  const start = points.findIndex(lone);
  let end = start;
  while (end + 1 < points.length && lone(points[end + 1])) end += 1;
  const hex = points[start].charCodeAt(0).toString(16);
  const what = end === start
    ? `character '\\u${hex}' in position ${start}`
    : `characters in position ${start}-${end}`;
  return new RangeError(`'utf-8' codec can't encode ${what}: surrogates not allowed`);
}

// The UTF-8 length of a well-formed text, without encoding it.
function utf8Length(text) {
  let length = 0;
  for (let i = 0; i < text.length; i += 1) {
    const c = text.charCodeAt(i);
    if (c < 0x80) length += 1;
    else if (c < 0x800) length += 2;
    else if (c >= 0xd800 && c <= 0xdbff) {
      length += 4;
      i += 1;
    } else length += 3;
  }
  return length;
}

// Copies a well-formed text into the input area; its size in bytes.
function putRaw(w, text) {
  const room = text.length * 3;
  const pointer = w.kavelo_input(room);
  return encoder.encodeInto(text, bytesAt(w, pointer, room)).written;
}

// Copies `text` into the input area; its size, or null when it is longer than `limit`
// bytes, whose error is then the answer (the text is measured, never copied).
function putText(w, text, limit, useSlots) {
  if (text.length > limit) {
    const length = utf8Length(text);
    if (length > limit) return answer(w, w.kavelo_refuse_source(BigInt(length), useSlots));
  }
  return putRaw(w, text);
}

// ---------------------------------------------------------------------------------------
// Policies

const RESOURCES = call((w) => answer(w, w.kavelo_resources()));
const RESOURCE_NAMES = RESOURCES.map(([name]) => name);
const DEFAULT_LIMITS = Object.freeze(RESOURCES.map(([, limit]) => limit));
const HARD_LIMITS = Object.freeze(RESOURCES.map(([, , hard]) => hard));
const INT64_MIN = -(2n ** 63n);
const INT64_MAX = 2n ** 63n - 1n;

const limitsObject = (values) => Object.fromEntries(RESOURCE_NAMES.map((name, i) => [name, values[i]]));

// The limits of every policy, out of reach of its users.
const policyLimits = new WeakMap();

/** An immutable set of the seventeen resource limits; `new ResourcePolicy()` holds the defaults. */
export class ResourcePolicy {
  constructor() {
    policyLimits.set(this, DEFAULT_LIMITS);
    Object.freeze(this);
  }

  /** A new object of the limit names to their values, from source_bytes to batch_samples. */
  limits() {
    return limitsObject(policyLimits.get(this));
  }

  /** The hard maxima, in the same order; the same for every policy. */
  hardLimits() {
    return limitsObject(HARD_LIMITS);
  }

  /** A new policy with one limit replaced (from 0 up to its hard maximum). */
  withLimit(name, limit) {
    requireText(name, "name");
    if (typeof limit === "number" && !Number.isInteger(limit)) {
      throw new TypeError("argument 'limit': 'float' object cannot be interpreted as an integer");
    }
    if (typeof limit !== "number" && typeof limit !== "bigint") {
      throw new TypeError(`argument 'limit': '${pythonTypeName(limit)}' object cannot be interpreted as an integer`);
    }
    const wide = BigInt(limit);
    if (wide < INT64_MIN || wide > INT64_MAX) throw new RangeError("Python int too large to convert to C long");
    const limits = call((w) => {
      const slots = slotsOf(w, this);
      answer(w, w.kavelo_with_limit(putRaw(w, name), wide, slots));
      return Array.from(slotView(w), Number);
    });
    const changed = new ResourcePolicy();
    policyLimits.set(changed, Object.freeze(limits));
    return changed;
  }
}

const slotView = (w) => new BigUint64Array(w.memory.buffer, w.kavelo_policy_slots(), RESOURCES.length);

// The slots flag of a request under `policy`: 0 for the defaults, else 1 with the
// policy's limits written into the slots.
function slotsOf(w, policy) {
  if (policy === undefined || policy === null) return 0;
  const limits = policyLimits.get(policy);
  if (limits === undefined) {
    throw new TypeError(`argument 'policy': '${pythonTypeName(policy)}' object is not a ResourcePolicy`);
  }
  if (limits === DEFAULT_LIMITS) return 0;
  slotView(w).set(limits.map(BigInt));
  return 1;
}

function limitOf(policy, name) {
  return (policyLimits.get(policy) ?? DEFAULT_LIMITS)[RESOURCE_NAMES.indexOf(name)];
}

// ---------------------------------------------------------------------------------------
// Rolls

function textRequest(entry, name, text, policy) {
  return call((w) => {
    const slots = slotsOf(w, policy);
    requireText(text, name);
    const size = putText(w, text, limitOf(policy, "source_bytes"), slots);
    return answer(w, w[entry](size, slots));
  });
}

/** Rolls one expression: {expression, total, rolls, details, comment}. */
export function roll(expression, policy) {
  return textRequest("kavelo_roll", "expression", expression, policy);
}

/** Runs a `;`-separated program in one request: {results: [...], comment}. */
export function run(program, policy) {
  return textRequest("kavelo_run", "program", program, policy);
}

/** Rolls one expression and records every face: {result, terms}. */
export function trace(expression, policy) {
  return textRequest("kavelo_trace", "expression", expression, policy);
}

/** The parse error of one expression as a KaveloError, or null when it parses. */
export function check(expression, policy) {
  try {
    textRequest("kavelo_check", "expression", expression, policy);
    return null;
  } catch (error) {
    if (error instanceof KaveloError) return error;
    throw error;
  }
}

/** Every face of a trace in draw order: what replay takes. */
export function faces(traced) {
  return traced.terms.flatMap((term) => term.faces.map((face) => face.value));
}

const FACE_MAX = 2147483647;

// The faces of a replay as an array of integers, checked as the Python module checks them.
function checkedFaces(given, most) {
  let list = given;
  if (!Array.isArray(given)) {
    if (given === null || given === undefined || typeof given[Symbol.iterator] !== "function") {
      throw new TypeError(`'${pythonTypeName(given)}' object is not iterable`);
    }
    // One face past the limit is enough to know they are too many.
    list = [];
    for (const face of given) {
      list.push(face);
      if (list.length > most) break;
    }
  }
  if (list.length > most) {
    throw refusal(`${list.length} faces are more than any roll can draw under the generated_values limit of ${most}`);
  }
  const checked = new Int32Array(list.length);
  for (let i = 0; i < list.length; i += 1) {
    const face = list[i];
    const integral = typeof face === "bigint" || (typeof face === "number" && Number.isInteger(face));
    if (!integral) throw refusal(`face ${i + 1} is a '${pythonTypeName(face)}', not an int`);
    const value = BigInt(face);
    if (value < 1n || value > BigInt(FACE_MAX)) {
      const shown = value < INT64_MIN || value > INT64_MAX ? "too large" : String(value);
      throw refusal(`face ${i + 1} (${shown}) is not a face of any die: faces are from 1 to ${FACE_MAX}`);
    }
    checked[i] = Number(value);
  }
  return checked;
}

/** Evaluates one expression taking its faces, in draw order, from `faces`: {result, terms}. */
export function replay(expression, faceList, policy) {
  return call((w) => {
    const slots = slotsOf(w, policy);
    const checked = checkedFaces(faceList, limitOf(policy, "generated_values"));
    requireText(expression, "expression");
    const size = putText(w, expression, limitOf(policy, "source_bytes"), slots);
    const pointer = w.kavelo_faces(checked.length);
    new Int32Array(w.memory.buffer, pointer, checked.length).set(checked);
    return answer(w, w.kavelo_replay(size, checked.length, slots));
  });
}

// ---------------------------------------------------------------------------------------
// Odds

const FAILURE_KEYS = call((w) => answer(w, w.kavelo_failure_keys()));
const U64_MAX = 2n ** 64n - 1n;
const ODDS_SOURCE_BYTES = DEFAULT_LIMITS[RESOURCE_NAMES.indexOf("source_bytes")];

// A float as Python's repr writes it.
function pythonFloat(x) {
  if (Number.isNaN(x)) return "nan";
  if (!Number.isFinite(x)) return x > 0 ? "inf" : "-inf";
  const [mantissa, exponentText] = x.toExponential().split("e");
  const exponent = Number(exponentText);
  if (exponent < -4 || exponent >= 16) {
    const sign = exponent < 0 ? "-" : "+";
    return `${mantissa}e${sign}${String(Math.abs(exponent)).padStart(2, "0")}`;
  }
  const text = String(x);
  return Number.isInteger(x) ? `${text}.0` : text;
}

function countOption(name, value) {
  if (typeof value === "number" && !Number.isInteger(value)) {
    throw new TypeError(`argument '${name}': 'float' object cannot be interpreted as an integer`);
  }
  if (typeof value !== "number" && typeof value !== "bigint") {
    throw new TypeError(`argument '${name}': '${pythonTypeName(value)}' object cannot be interpreted as an integer`);
  }
  const wide = BigInt(value);
  if (wide < 1n || wide > U64_MAX) {
    // As the Python package writes it: the digits within 64 bits, else which way it leaves them.
    const shown = wide > U64_MAX ? `an integer above ${U64_MAX}` : wide < -(2n ** 63n) ? "an integer below -9223372036854775808" : `${wide}`;
    throw refusal(`[odds.invalid_argument] ${name} must lie between 1 and ${U64_MAX}: got ${shown}`);
  }
  return wide;
}

// The sum of floats, correctly rounded (Shewchuk's partials, as Python's math.fsum).
function fsum(values) {
  const partials = [];
  for (let x of values) {
    let i = 0;
    for (let y of partials) {
      if (Math.abs(x) < Math.abs(y)) [x, y] = [y, x];
      const hi = x + y;
      const lo = y - (hi - x);
      if (lo !== 0) partials[i++] = lo;
      x = hi;
    }
    partials.length = i;
    partials.push(x);
  }
  let n = partials.length;
  let hi = 0;
  if (n > 0) {
    hi = partials[--n];
    let lo = 0;
    while (n > 0) {
      const x = hi;
      const y = partials[--n];
      hi = x + y;
      const yr = hi - x;
      lo = y - yr;
      if (lo !== 0) break;
    }
    // Half-way cases: round the way the remaining partials say.
    if (n > 0 && ((lo < 0 && partials[n - 1] < 0) || (lo > 0 && partials[n - 1] > 0))) {
      const y = lo * 2;
      const x = hi + y;
      if (y === x - hi) hi = x;
    }
  }
  return hi;
}

// The first index of `outcomes` whose outcome is >= x (after: > x).
function bisect(outcomes, x, after) {
  let low = 0;
  let high = outcomes.length;
  while (low < high) {
    const middle = (low + high) >> 1;
    if (after ? outcomes[middle] <= x : outcomes[middle] < x) low = middle + 1;
    else high = middle;
  }
  return low;
}

/** The distribution of the total of one expression (the Python Odds). */
export class Odds {
  #probabilities;
  #atLeast = null;
  #atMost = null;

  constructor(expression, outcomes, probabilities, failures, truncated) {
    this.expression = expression;
    this.outcomes = outcomes;
    this.#probabilities = probabilities;
    this.pmf = outcomes.map((outcome, i) => [outcome, probabilities[i]]);
    this.failures = failures;
    this.truncated = truncated;
    const total = fsum(probabilities);
    if (outcomes.length === 0 || !(total > 0)) {
      this.mean = NaN;
      this.stdev = NaN;
    } else {
      const mean = fsum(outcomes.map((x, i) => Number(x) * probabilities[i])) / total;
      const variance = fsum(outcomes.map((x, i) => (Number(x) - mean) ** 2 * probabilities[i])) / total;
      this.mean = mean;
      this.stdev = Math.sqrt(Math.max(variance, 0));
    }
    this.min = outcomes.length > 0 ? outcomes[0] : null;
    this.max = outcomes.length > 0 ? outcomes[outcomes.length - 1] : null;
  }

  /** The probability of exactly `x`. */
  probability(x) {
    if (typeof x === "number" && !Number.isInteger(x)) return 0;
    const i = bisect(this.outcomes, x, false);
    return i < this.outcomes.length && this.outcomes[i] == x ? this.#probabilities[i] : 0; // eslint-disable-line eqeqeq
  }

  /** The probability of `x` or more. */
  atLeast(x) {
    if (this.#atLeast === null) {
      // Summed from the top, so that small tails keep their accuracy.
      const tail = new Float64Array(this.outcomes.length + 1);
      let sum = 0;
      for (let i = this.outcomes.length - 1; i >= 0; i -= 1) {
        sum += this.#probabilities[i];
        tail[i] = sum;
      }
      this.#atLeast = tail;
    }
    return this.#atLeast[bisect(this.outcomes, x, false)];
  }

  /** The probability of `x` or less. */
  atMost(x) {
    if (this.#atMost === null) {
      const head = new Float64Array(this.outcomes.length + 1);
      let sum = 0;
      for (let i = 0; i < this.outcomes.length; i += 1) {
        sum += this.#probabilities[i];
        head[i + 1] = sum;
      }
      this.#atMost = head;
    }
    return this.#atMost[bisect(this.outcomes, x, true)];
  }

  /** The odds as plain data: the Python Odds.to_dict(). */
  toDict() {
    const hasMean = this.outcomes.length > 0 && Number.isFinite(this.mean);
    return {
      expression: this.expression,
      pmf: this.pmf.map(([outcome, p]) => [outcome, p]),
      mean: hasMean ? this.mean : null,
      stdev: hasMean ? this.stdev : null,
      min: this.min,
      max: this.max,
      failures: { ...this.failures },
      truncated: this.truncated,
    };
  }

  toJSON() {
    const dict = this.toDict();
    const raw = (v) => (typeof v === "bigint" ? JSON.rawJSON(String(v)) : v);
    dict.pmf = dict.pmf.map(([outcome, p]) => [raw(outcome), p]);
    dict.min = raw(dict.min);
    dict.max = raw(dict.max);
    return dict;
  }
}

/**
 * The exact odds of one expression (a comment allowed, a program not).
 * options: tolerance (1e-15), maxOutcomes (100000), maxWork (50000000).
 */
export function odds(expression, options = {}) {
  requireString(expression, "expression");
  const { tolerance = 1e-15, maxOutcomes = 100000, maxWork = 50000000 } = options ?? {};
  if (typeof tolerance !== "number" && typeof tolerance !== "bigint") {
    throw new TypeError(`argument 'tolerance': must be a real number, not '${pythonTypeName(tolerance)}'`);
  }
  const tol = Number(tolerance);
  if (!(tol > 0 && tol < 1)) {
    throw refusal(`[odds.invalid_argument] tolerance must lie strictly between 0 and 1: got ${pythonFloat(tol)}`);
  }
  const outcomeLimit = countOption("max_outcomes", maxOutcomes);
  const workLimit = countOption("max_work", maxWork);
  if (!expression.isWellFormed()) throw encodeError(expression);
  return call((w) => {
    const size = putText(w, expression, ODDS_SOURCE_BYTES, 0);
    const kind = w.kavelo_odds(size, tol, outcomeLimit, workLimit);
    if (kind !== 3) return answer(w, kind);
    const count = w.kavelo_odds_count();
    const outcomes = Array.from(new BigInt64Array(w.memory.buffer, w.kavelo_odds_outcomes(), count), toNumber);
    const probabilities = Array.from(new Float64Array(w.memory.buffer, w.kavelo_odds_probabilities(), count));
    const masses = new Float64Array(w.memory.buffer, w.kavelo_odds_masses(), FAILURE_KEYS.length + 1);
    const failures = {};
    FAILURE_KEYS.forEach((key, k) => {
      if (masses[k] !== 0) failures[key] = masses[k];
    });
    const truncated = masses[FAILURE_KEYS.length];
    w.kavelo_release();
    return new Odds(expression, outcomes, probabilities, failures, truncated);
  });
}

/** The version of the engine. */
export const version = call((w) => answer(w, w.kavelo_version()));
