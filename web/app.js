// The page: log in, the libraries, the top-rated grid, a movie with its
// backdrop and similar movies, and the offline conversion list. Routes
// live in the hash (#/, #/movie/ID, #/conversion); a movie is shown from
// what a list answer carried, so a reload of its page lists the grid again
// first.
import * as api from './client.js';
import { describe } from './errors.js';

const ACROSS = 'VELM.Kinoro.AcrossLibrary';
const BACKDROP = 'VELM.Kinoro.Backdrop';
const ADDITIONAL = ['genre', 'file', 'summary', 'actor', 'director', 'writer', 'collection', 'extra'];
const GRID_SIZE = 24;
const SIMILAR_SIZE = 12;

const view = document.getElementById('view');
const nav = document.getElementById('nav');
const movies = new Map(); // id -> movie, from the list answers
let backdropVersion = 0;

// Elements from data: text only, never markup.
function h(tag, attrs = {}, ...children) {
  const el = document.createElement(tag);
  for (const [name, value] of Object.entries(attrs)) {
    if (value === false || value === null || value === undefined) continue;
    el.setAttribute(name, value === true ? '' : String(value));
  }
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    el.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return el;
}

function show(...children) {
  view.replaceChildren(...children);
  window.scrollTo(0, 0);
}

function message(kind = 'error') {
  return h('p', { class: `message ${kind}`, role: kind === 'error' ? 'alert' : 'status' });
}

async function say(el, error) {
  el.className = 'message error';
  el.textContent = await describe(error);
}

// Any call that finds the session gone leads back to the login form.
async function guard(promise) {
  try {
    return await promise;
  } catch (e) {
    if (e.code === api.NOT_LOGGED_IN) {
      // Said only when a session ended under the user, not on a first visit.
      loginView(nav.hidden ? '' : await describe(e));
      return null;
    }
    throw e;
  }
}

const year = (m) => (m.original_available || '').slice(0, 4);
const additional = (m) => m.additional || {};

function formatSize(bytes) {
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let v = Number(bytes) || 0;
  let i = 0;
  while (v >= 1000 && i < units.length - 1) {
    v /= 1000;
    i += 1;
  }
  return `${v.toFixed(i === 0 ? 0 : 1)} ${units[i]}`;
}

function formatDuration(seconds) {
  const s = Math.round(Number(seconds) || 0);
  const hours = Math.floor(s / 3600);
  const minutes = String(Math.floor((s % 3600) / 60)).padStart(2, '0');
  return `${hours}:${minutes}`;
}

function backdropImage(movie, cls) {
  const img = h('img', {
    class: cls,
    alt: `Backdrop of ${movie.title}`,
    loading: 'lazy',
    src: api.backdropUrl(movie.mapper_id, backdropVersion),
  });
  // No backdrop answers 404: the frame stays, plain.
  img.addEventListener('error', () => img.classList.add('missing'));
  img.addEventListener('load', () => img.classList.remove('missing'));
  return img;
}

function card(movie) {
  movies.set(movie.id, movie);
  const genres = additional(movie).genre || [];
  return h(
    'a',
    { class: 'card', href: `#/movie/${movie.id}`, 'data-movie-id': movie.id },
    h('span', { class: 'frame' }, backdropImage(movie, 'thumb')),
    h('span', { class: 'title' }, movie.title),
    h(
      'span',
      { class: 'meta' },
      [year(movie), movie.rating ? `★ ${movie.rating}` : null, genres.slice(0, 2).join(', ')]
        .filter(Boolean)
        .join(' · ')
    )
  );
}

// ---- Views ----

function loginView(text = '', kind = 'error') {
  nav.hidden = true;
  const status = message(kind);
  if (text) status.textContent = text;
  const account = h('input', { name: 'account', autocomplete: 'username', required: true });
  const passwd = h('input', {
    name: 'passwd',
    type: 'password',
    autocomplete: 'current-password',
    required: true,
  });
  const submit = h('button', { type: 'submit' }, 'Log in');
  const formEl = h(
    'form',
    { class: 'login', id: 'login-form' },
    h('h1', {}, 'Log in'),
    h('label', {}, 'Account', account),
    h('label', {}, 'Password', passwd),
    submit,
    status
  );
  formEl.addEventListener('submit', async (event) => {
    event.preventDefault();
    submit.disabled = true;
    status.textContent = '';
    try {
      await api.login(account.value, passwd.value);
      passwd.value = '';
      if (location.hash === '' || location.hash === '#/') {
        route();
      } else {
        location.hash = '#/';
      }
    } catch (e) {
      await say(status, e);
    } finally {
      submit.disabled = false;
    }
  });
  show(formEl);
  account.focus();
}

async function homeView() {
  const libraries = await guard(api.get(ACROSS, 'list_library', { policy: 'recently_added' }));
  if (libraries === null) return;
  const top = await guard(
    api.get(ACROSS, 'list_movie', { policy: 'top_rating', limit: GRID_SIZE, additional: ADDITIONAL })
  );
  if (top === null) return;
  nav.hidden = false;
  const libraryItems = (libraries.libraries || []).map((l) =>
    h(
      'li',
      { class: 'library' },
      h('span', { class: 'title' }, l.title),
      h('span', { class: 'meta' }, `${l.type}${l.public ? '' : ' · private'}`)
    )
  );
  const list = top.movies || [];
  show(
    h(
      'section',
      { id: 'libraries' },
      h('h2', {}, 'Libraries'),
      libraryItems.length ? h('ul', { class: 'libraries' }, libraryItems) : h('p', { class: 'quiet' }, 'No library to show.')
    ),
    h(
      'section',
      { id: 'top-rated' },
      h('h2', {}, 'Top rated'),
      list.length ? h('div', { class: 'grid' }, list.map(card)) : h('p', { class: 'quiet' }, 'No movie to show.')
    )
  );
}

function facts(movie) {
  const a = additional(movie);
  const rows = [
    ['Year', year(movie)],
    ['Rating', movie.rating ? String(movie.rating) : ''],
    ['Certificate', movie.certificate],
    ['Genres', (a.genre || []).join(', ')],
    ['Directors', (a.director || []).join(', ')],
    ['Writers', (a.writer || []).join(', ')],
    ['Actors', (a.actor || []).join(', ')],
    ['Collection', (a.collection || []).map((c) => c.title).join(', ')],
    ['Tags', ((a.extra || {}).tag || []).join(', ')],
    ['IMDb', movie.imdb_id],
  ].filter(([, value]) => value);
  return h('dl', { class: 'facts' }, rows.map(([k, v]) => [h('dt', {}, k), h('dd', {}, v)]));
}

function files(movie) {
  const list = additional(movie).file || [];
  if (!list.length) return null;
  return h(
    'table',
    { class: 'files' },
    h('thead', {}, h('tr', {}, h('th', {}, 'File'), h('th', {}, 'Size'), h('th', {}, 'Length'))),
    h(
      'tbody',
      {},
      list.map((f) =>
        h(
          'tr',
          {},
          h('td', { class: 'path' }, f.sharepath || f.path),
          h('td', {}, formatSize(f.size)),
          h('td', {}, formatDuration(f.duration))
        )
      )
    )
  );
}

function backdropTools(movie, image) {
  const status = message('status');
  const source = h(
    'select',
    { name: 'source', 'aria-label': 'Source' },
    h('option', { value: 'sharepath' }, 'Share path'),
    h('option', { value: 'url' }, 'URL')
  );
  const where = h('input', {
    name: 'where',
    placeholder: '/share/folder/picture.jpg',
    'aria-label': 'Share path or URL',
    required: true,
  });
  source.addEventListener('change', () => {
    where.placeholder = source.value === 'url' ? 'https://…/image.jpg' : '/share/folder/picture.jpg';
  });
  const add = h('button', { type: 'submit' }, 'Add backdrop');
  const removeAll = h('button', { type: 'button', class: 'danger' }, 'Delete all backdrops');
  const refresh = () => {
    backdropVersion += 1;
    image.src = api.backdropUrl(movie.mapper_id, backdropVersion);
  };
  const run = async (button, call, done) => {
    button.disabled = true;
    status.className = 'message status';
    status.textContent = '';
    try {
      if ((await guard(call())) === null) return;
      status.textContent = done;
      refresh();
    } catch (e) {
      await say(status, e);
    } finally {
      button.disabled = false;
    }
  };
  const formEl = h('form', { class: 'backdrop-tools', id: 'backdrop-form' }, source, where, add, removeAll, status);
  formEl.addEventListener('submit', (event) => {
    event.preventDefault();
    run(
      add,
      () => api.post(BACKDROP, 'add', { [source.value]: where.value.trim(), mapper_id: movie.mapper_id }),
      'Backdrop added.'
    );
  });
  removeAll.addEventListener('click', () =>
    run(removeAll, () => api.post(BACKDROP, 'delete_all', { mapper_id: movie.mapper_id }), 'All backdrops deleted.')
  );
  return formEl;
}

async function similarRow(movie, row) {
  try {
    const data = await guard(
      api.get(ACROSS, 'list_movie', {
        policy: 'tmdb_similar',
        id: movie.id,
        offset: 0,
        limit: SIMILAR_SIZE,
        additional: ADDITIONAL,
      })
    );
    if (data === null) return;
    const list = (data.movies || []).filter((m) => m.id !== movie.id);
    row.replaceChildren(list.length ? h('div', { class: 'row' }, list.map(card)) : h('p', { class: 'quiet' }, 'Nothing similar found.'));
  } catch (e) {
    const status = message();
    row.replaceChildren(status);
    await say(status, e);
  }
}

async function movieView(id) {
  let movie = movies.get(id);
  if (!movie) {
    // Known only from a list answer: list the grid, then look again.
    await homeView();
    movie = movies.get(id);
    if (!movie) {
      history.replaceState(null, '', '#/');
      return;
    }
  }
  nav.hidden = false;
  const image = backdropImage(movie, 'backdrop');
  image.id = 'backdrop';
  image.loading = 'eager';
  const summary = additional(movie).summary;
  const similar = h('div', { id: 'similar' }, h('p', { class: 'quiet' }, 'Looking for similar movies…'));
  show(
    h(
      'article',
      { class: 'movie', 'data-movie-id': movie.id },
      h('div', { class: 'backdrop-frame' }, image),
      h('h1', {}, movie.title, year(movie) ? h('span', { class: 'year' }, ` (${year(movie)})`) : null),
      summary ? h('p', { class: 'summary' }, summary) : null,
      facts(movie),
      files(movie),
      h('h2', {}, 'Backdrop'),
      backdropTools(movie, image),
      h('h2', {}, 'Similar'),
      similar
    )
  );
  similarRow(movie, similar);
}

async function conversionView() {
  const status = message('status');
  show(h('section', { id: 'conversion' }, h('h1', {}, 'Offline conversion'), status));
  try {
    const data = await guard(api.get('VELM.Kinoro.OfflineConversion', 'list'));
    if (data === null) return;
    nav.hidden = false;
    const tasks = data.task || [];
    status.textContent = tasks.length ? '' : 'No conversion task.';
    status.after(
      h(
        'ul',
        { class: 'tasks' },
        tasks.map((t) => h('li', {}, `#${t.id} ${t.video_profile || ''} ${t.state || ''}`.trim()))
      )
    );
  } catch (e) {
    nav.hidden = false;
    if (e.code === 105) {
      status.className = 'message notice';
      status.textContent = 'Offline conversion is not available on this system.';
    } else {
      await say(status, e);
    }
  }
}

async function route() {
  const hash = location.hash || '#/';
  const movie = /^#\/movie\/(\d+)$/.exec(hash);
  try {
    if (movie) {
      await movieView(Number(movie[1]));
    } else if (hash === '#/conversion') {
      await conversionView();
    } else {
      await homeView();
    }
  } catch (e) {
    const status = message();
    show(status);
    await say(status, e);
  }
}

document.getElementById('logout').addEventListener('click', async () => {
  try {
    await api.logout();
  } catch (e) {
    // The cookie may be gone already; the form is what matters.
  }
  movies.clear();
  loginView('You are logged out.', 'status');
});
window.addEventListener('hashchange', route);
route();
