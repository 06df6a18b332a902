// A page's code as a TypeScript user writes it: compiled with tsc --strict
// against the packed package (tests/e2e/web/typings-check.sh), never run.
import {
  CARD_KINDS, readCard, TalvexUnreachableError, watchCards,
  type CardResult, type ReadResult,
} from 'talvex-card';

function describe(card: CardResult): string {
  switch (card.kind) {
    case 1:
      return `${card.fields.name} ${card.fields.idNumber} ${card.fields.nation}`;
    case 2:
      return `${card.fields.englishName} ${card.fields.nationality} ${card.fields.cardNumber}`;
    case 3:
      return `${card.fields.name} ${card.fields.passNumber} ${card.fields.issueCount}`;
  }
}

export async function show(img: HTMLImageElement): Promise<string> {
  const controller = new AbortController();
  try {
    const result: ReadResult = await readCard({ port: 10012, signal: controller.signal, timeoutMs: 20000 });
    if (!result.ok) return `${result.code}: ${result.message}`;
    img.src = result.photo;
    const labels = CARD_KINDS[result.kind].fields.map((f) => `${f.zh}/${f.en}`);
    return `${describe(result)} (${labels.length} fields)`;
  } catch (e) {
    if (e instanceof TalvexUnreachableError) {
      const reason: 'blocked' | 'not-running' | 'timeout' = e.reason;
      return `${reason}${e.sure ? '' : '?'}: ${e.advice.en}`;
    }
    throw e;
  }
}

export function follow(log: (line: string) => void): () => void {
  return watchCards({
    card: (card) => log(describe(card)),
    error: (failure) => log(`${failure.code}|${failure.message}`),
    unreachable: (error) => log(error.reason),
  }, { port: 10012 });
}
