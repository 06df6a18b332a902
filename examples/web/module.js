// The page around the talvex-card library (clients/web), as an ES module:
// one button, the fields with their labels, the photo, and when the service
// cannot be reached, why and what to do.
import { CARD_KINDS, DEFAULT_PORT, readCard, TalvexUnreachableError } from '../../clients/web/talvex-card.js';

const button = document.getElementById('read');
const status = document.getElementById('status');
const card = document.getElementById('card');
const photo = document.getElementById('photo');
const fields = document.getElementById('fields');
const kind = document.getElementById('kind');

// module.html?port=N talks to a Talvex started with --port N.
let port = Number(new URLSearchParams(window.location.search).get('port'));
if (!(Number.isInteger(port) && port >= 1 && port <= 65535)) port = DEFAULT_PORT;

function show(text, cls = '') {
  status.textContent = text;
  status.className = cls;
}

function render(result) {
  const info = CARD_KINDS[result.kind];
  kind.textContent = `${info.zh} / ${info.en}`;
  fields.textContent = '';
  for (const f of info.fields) {
    const row = document.createElement('tr');
    row.dataset.field = f.name;
    const th = document.createElement('th');
    th.textContent = f.zh;
    const small = document.createElement('small');
    small.textContent = f.en;
    th.appendChild(small);
    const td = document.createElement('td');
    td.textContent = result.fields[f.name]; // text, never HTML: card data is not trusted markup
    row.append(th, td);
    fields.appendChild(row);
  }
  photo.src = result.photo;
  card.hidden = false;
}

button.addEventListener('click', async () => {
  button.disabled = true;
  card.hidden = true;
  delete status.dataset.reason;
  show('正在读卡… / Reading…');
  try {
    const result = await readCard({ port });
    if (result.ok) {
      render(result);
      show('读卡成功 / Card read', 'ok');
    } else {
      show(`读卡失败 / Read failed — ${result.code}: ${result.message}`, 'error');
    }
  } catch (error) {
    if (!(error instanceof TalvexUnreachableError)) throw error;
    const cls = error.reason === 'blocked' ? 'blocked' : 'hint';
    show(`${error.advice.zh}\n${error.advice.en} (${error.reason}, port ${port})`, cls);
    status.dataset.reason = error.reason;
  } finally {
    button.disabled = false;
  }
});
