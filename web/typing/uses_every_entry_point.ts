// Uses every declaration of kavelo.d.ts as a page would, and states with @ts-expect-error
// what the declarations must refuse; `tsc --project web/typing` checks both (the browser
// tests run it where Debian's node-typescript is installed).
import {
  check,
  faces,
  KaveloError,
  KaveloFault,
  odds,
  replay,
  ResourcePolicy,
  roll,
  run,
  trace,
  version,
} from "../kavelo";
import type { DiceRollResult, Fate, Int, LimitName, OddsDict, ProgramResult, Trace } from "../kavelo";

const policy: ResourcePolicy = new ResourcePolicy().withLimit("generated_values", 5).withLimit("work_units", 10n);
const limits: Record<LimitName, number> = policy.limits();
const hard: number = policy.hardLimits().ast_nodes + limits.source_bytes;

const result: DiceRollResult = roll("4d6kh3+2", policy);
const total: Int = result.total;
const big: bigint = typeof total === "bigint" ? total : BigInt(total);
const firstFace: number | undefined = result.rolls[0]?.[0];
const program: ProgramResult = run("1d20+5; 2d6 # attack", null);
const comment: string = program.comment + program.results.map((r) => r.details).join();

const traced: Trace = trace("2d20kh1+5");
const fate: Fate = traced.terms[0]!.faces[0]!.fate;
const by: string | null = traced.terms[0]!.faces[0]!.by;
const again: Trace = replay("2d20kh1+5", faces(traced), policy);
const fromIterable: Trace = replay("2d6", new Set([3, 4n]));

const distribution = odds("2d20kh1", { tolerance: 1e-12, maxOutcomes: 10n ** 6n, maxWork: 1000000 });
const chance: number = distribution.atLeast(15) + distribution.atMost(5n) + distribution.probability(20);
const dict: OddsDict = distribution.toDict();
const mean: number | null = dict.mean;
const lowest: Int | null = distribution.min;

const problem: KaveloError | null = check("2d6 x");
const code: string = problem === null ? "" : problem.code + problem.english + problem.message;

try {
  roll("1d1!");
} catch (error) {
  if (error instanceof KaveloError) {
    const errorCode: string = error.code;
    console.log(errorCode);
  } else if (error instanceof KaveloFault) {
    const outOfMemory: boolean = error.outOfMemory;
    console.log(outOfMemory);
  }
}

// @ts-expect-error a policy is not a plain object of limits
roll("1d6", { generated_values: 5 });
// @ts-expect-error faces are numbers or BigInt
replay("1d6", ["3"]);
// @ts-expect-error the odds take no roll policy
odds("1d6", policy);
// @ts-expect-error a total may be a BigInt: it is not always a number
const notAlwaysNumber: number = result.total;
// @ts-expect-error fates are the seven names
const notAFate: Fate = "lost";
// @ts-expect-error limits are known by name
const unknownLimit: number = limits.WORK_UNITS;
// @ts-expect-error the version is read-only
version = "2";

console.log(hard, big, firstFace, comment, fate, by, again, fromIterable, chance, mean, lowest, code, version);
console.log(notAlwaysNumber, notAFate, unknownLimit);
