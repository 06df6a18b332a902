// Types of talvex-card.js.

export declare const DEFAULT_PORT: 10012;
export declare const DEFAULT_TIMEOUT_MS: number;
export declare const UNRECOGNISED_ANSWER: -1;

/** Kind 1, resident identity card (居民身份证). */
export interface ResidentCardFields {
  name: string;
  genderCode: string;
  gender: string;
  nationCode: string;
  nation: string;
  birthDate: string;
  address: string;
  idNumber: string;
  issuingAuthority: string;
  validFrom: string;
  validTo: string;
}

/** Kind 2, foreign permanent resident ID card (外国人永久居留身份证). */
export interface ForeignCardFields {
  englishName: string;
  genderCode: string;
  gender: string;
  cardNumber: string;
  nationalityCode: string;
  nationality: string;
  chineseName: string;
  validFrom: string;
  validTo: string;
  birthDate: string;
  cardVersion: string;
  authorityCode: string;
  authority: string;
}

/** Kind 3, residence permit for Hong Kong, Macao and Taiwan residents (港澳台居民居住证). */
export interface HmtPermitFields {
  name: string;
  genderCode: string;
  gender: string;
  birthDate: string;
  address: string;
  idNumber: string;
  issuingAuthority: string;
  validFrom: string;
  validTo: string;
  passNumber: string;
  issueCount: string;
}

interface CardBase<K extends 1 | 2 | 3, N extends string, F> {
  ok: true;
  kind: K;
  kindName: N;
  fields: F;
  /** The photo as a data: URL (data:image/jpeg;base64,...), for img.src. */
  photo: string;
}

export type ResidentCard = CardBase<1, 'resident', ResidentCardFields>;
export type ForeignCard = CardBase<2, 'foreign', ForeignCardFields>;
export type HmtPermit = CardBase<3, 'hmt', HmtPermitFields>;
export type CardResult = ResidentCard | ForeignCard | HmtPermit;

/** The reader or the service failed ("128|寻卡失败"); code -1: not a Talvex answer. */
export interface ReaderFailure {
  ok: false;
  code: number;
  message: string;
}

export type ReadResult = CardResult | ReaderFailure;

export interface FieldInfo {
  name: string;
  zh: string;
  en: string;
}

export interface KindInfo {
  kindName: 'resident' | 'foreign' | 'hmt';
  zh: string;
  en: string;
  fields: readonly FieldInfo[];
}

export declare const CARD_KINDS: Readonly<Record<1 | 2 | 3, KindInfo>>;

export declare function parseCardBody(body: string): ReadResult;
export declare function serviceUrl(path?: string, port?: number): string;

export type UnreachableReason = 'blocked' | 'not-running' | 'timeout';

export interface Advice {
  zh: string;
  en: string;
}

export declare class TalvexUnreachableError extends Error {
  constructor(reason: UnreachableReason, sure: boolean, port: number, options?: { cause?: unknown });
  readonly name: 'TalvexUnreachableError';
  /** blocked by the browser, nothing listening on the port, or no answer in time. */
  readonly reason: UnreachableReason;
  /** false where the browser's signs allow another reason (docs/integration.md). */
  readonly sure: boolean;
  readonly port: number;
  /** What the user or the administrator can do. */
  readonly advice: Advice;
}

/** The part of a page's global object the library uses (tests pass their own). */
export interface ClientEnvironment {
  fetch: typeof fetch;
  location?: { hostname: string };
  navigator?: { permissions?: { query(descriptor: { name: string }): Promise<{ state: string }> } };
}

export interface ReadCardOptions {
  /** The service's port (default 10012). */
  port?: number;
  /** Aborts the read; the promise then rejects with the signal's reason. */
  signal?: AbortSignal;
  /** Time limit in ms (default 30000); then TalvexUnreachableError 'timeout'. */
  timeoutMs?: number;
  env?: ClientEnvironment;
}

export declare function readCard(options?: ReadCardOptions): Promise<ReadResult>;

export declare function loopbackPermission(
  env?: ClientEnvironment,
): Promise<'granted' | 'denied' | 'prompt' | undefined>;

export declare function explainNetworkFailure(
  env?: ClientEnvironment,
): Promise<{ reason: 'blocked' | 'not-running'; sure: boolean }>;

export interface StreamEvent {
  event: string;
  data: string;
}

export declare function createEventStreamParser(
  onEvent: (event: StreamEvent) => void,
): { push(chunk: string): void };

export declare function interpretEvent(
  event: StreamEvent,
): { type: 'card'; result: CardResult } | { type: 'error'; failure: ReaderFailure } | null;

export interface WatchHandlers {
  /** A card was put on the reader and read. */
  card?(result: CardResult): void;
  /** A read failed, or the service refused this page's origin (code 290). */
  error?(failure: ReaderFailure): void;
  /** The stream could not be reached; it is tried again by itself. */
  unreachable?(error: TalvexUnreachableError): void;
  /** The stream is connected (again). */
  open?(): void;
}

export interface WatchOptions {
  port?: number;
  /** The longest wait between two tries (default 30000 ms). */
  maxRetryMs?: number;
  env?: ClientEnvironment;
}

/** Follows /events; returns the function that stops it. */
export declare function watchCards(handlers: WatchHandlers, options?: WatchOptions): () => void;
