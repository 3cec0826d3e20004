// Type declarations of kavelo.mjs, the dice engine in the browser.
//
// Results are the dictionaries of the Python module as plain objects, with the same keys
// and values. Integers that JavaScript numbers cannot hold exactly (past
// Number.MAX_SAFE_INTEGER: a large total, an outcome of the odds) are BigInt.

/** An integer of a result: a number, or a BigInt past Number.MAX_SAFE_INTEGER. */
export type Int = number | bigint;

/** What roll() returns: Python's roll_dice dictionary. */
export interface DiceRollResult {
  /** The expression rebuilt, every operation's operands in parentheses: "(4d6) + (2)". */
  expression: string;
  total: Int;
  /** The groups of every roll in evaluation order; each value fits a number. */
  rolls: number[][];
  /** "4d6kh3 = 14 (详情: [[6], [5], [3]])", "14 + 2 = 16", or the number. */
  details: string;
  /** The comment, or "" when there is none. */
  comment: string;
}

/** What run() returns: Python's run_program dictionary. */
export interface ProgramResult {
  results: DiceRollResult[];
  comment: string;
}

export type Origin = "roll" | "explode" | "reroll";
export type Fate = "kept" | "dropped" | "rerolled" | "duplicate" | "added" | "counted" | "uncounted";

export interface TraceFace {
  value: number;
  /** The index of its die in the term, from 0. */
  die: number;
  origin: Origin;
  fate: Fate;
  /** The modifier that decided the fate ("kh1"), null for a kept face. */
  by: string | null;
}

export interface TraceTerm {
  /** "4d6kh3" */
  notation: string;
  count: number;
  sides: number;
  /** Every face drawn for the term, in draw order. */
  faces: TraceFace[];
  /** The groups the term contributed to result.rolls. */
  values: number[][];
}

/** What trace() and replay() return: Python's Trace.to_dict(). */
export interface Trace {
  result: DiceRollResult;
  terms: TraceTerm[];
}

/** The limits of one odds computation (Python's keyword arguments of odds()). */
export interface OddsOptions {
  /** Explosions are followed until less than this is left; strictly between 0 and 1. Default 1e-15. */
  tolerance?: number;
  /** Most outcomes of any distribution of the computation, 1 to 2^64 - 1. Default 100000. */
  maxOutcomes?: number | bigint;
  /** Most steps of work, 1 to 2^64 - 1. Default 50000000. */
  maxWork?: number | bigint;
}

/** The odds as plain data: Python's Odds.to_dict(). */
export interface OddsDict {
  expression: string;
  /** [total, probability] for every total, ascending. */
  pmf: [Int, number][];
  /** null where no total has a probability above zero. */
  mean: number | null;
  stdev: number | null;
  min: Int | null;
  max: Int | null;
  /** The probability of ending in an error instead, by the error's code (or whole text). */
  failures: Record<string, number>;
  /** The mass left out where explosions could go on without end. */
  truncated: number;
}

/** The distribution of the total of one expression: Python's Odds. */
export class Odds {
  private constructor();
  readonly expression: string;
  /** The totals, ascending. */
  readonly outcomes: Int[];
  readonly pmf: [Int, number][];
  readonly failures: Record<string, number>;
  readonly truncated: number;
  /** Of the totals of the rolls that give one; NaN when none does. */
  readonly mean: number;
  readonly stdev: number;
  readonly min: Int | null;
  readonly max: Int | null;
  /** The chance of exactly x, of x or more, of x or less. */
  probability(x: number | bigint): number;
  atLeast(x: number | bigint): number;
  atMost(x: number | bigint): number;
  toDict(): OddsDict;
  /** toDict() with BigInt outcomes written as JSON numbers. */
  toJSON(): object;
}

/** Names of the seventeen limits, from source_bytes to batch_samples. */
export type LimitName =
  | "source_bytes"
  | "environment_items"
  | "environment_bytes"
  | "parse_depth"
  | "ast_nodes"
  | "parsed_instructions"
  | "executed_instructions"
  | "nesting_depth"
  | "source_items"
  | "generated_values"
  | "rng_words"
  | "collection_items"
  | "trace_nodes"
  | "output_items"
  | "output_bytes"
  | "work_units"
  | "batch_samples";

/** An immutable set of the seventeen resource limits: Python's ResourcePolicy. */
export class ResourcePolicy {
  /** Every limit at its default. */
  constructor();
  /** A new object of the limits, in the order of LimitName. */
  limits(): Record<LimitName, number>;
  /** The hard maxima, the same for every policy. */
  hardLimits(): Record<LimitName, number>;
  /**
   * A new policy with one limit replaced (0 up to its hard maximum). An unknown name, a
   * negative limit or one above the hard maximum throws KaveloError with the Python text.
   */
  withLimit(name: string, limit: number | bigint): ResourcePolicy;
}

/** An error of the engine: `message` is the text Python raises as ValueError. */
export class KaveloError extends Error {
  constructor(message: string, code?: string, english?: string);
  readonly name: "KaveloError";
  /** The error's stable code ("limit.generated_values", "dice.not_positive"), as kavelo.explain gives it. */
  readonly code: string;
  /** The error explained in English, or "". */
  readonly english: string;
}

/** The engine stopped: it ran out of memory, or faulted (a bug, never the input). */
export class KaveloFault extends Error {
  constructor(message: string, outOfMemory: boolean);
  readonly name: "KaveloFault";
  readonly outOfMemory: boolean;
}

/** Rolls one expression (a comment allowed) under `policy` (the defaults when absent). */
export function roll(expression: string, policy?: ResourcePolicy | null): DiceRollResult;
/** Runs a ";"-separated program in one request. */
export function run(program: string, policy?: ResourcePolicy | null): ProgramResult;
/** Rolls one expression and records every face. */
export function trace(expression: string, policy?: ResourcePolicy | null): Trace;
/**
 * Evaluates one expression taking every face, in draw order, from `faces` (integers from
 * 1 to 2147483647, at most generated_values of them).
 */
export function replay(expression: string, faces: Iterable<number | bigint>, policy?: ResourcePolicy | null): Trace;
/** The exact odds of one expression (a comment allowed, a program not). */
export function odds(expression: string, options?: OddsOptions | null): Odds;
/** The syntax error of one expression as a KaveloError (not thrown), or null when it parses. */
export function check(expression: string, policy?: ResourcePolicy | null): KaveloError | null;
/** Every face of a trace in draw order: what replay() takes. */
export function faces(trace: Trace): number[];
/** The version of the engine: "1.3.5". */
export const version: string;
