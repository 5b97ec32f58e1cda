// The report page: thumbnails set as their cards scroll into view, the filter by file
// name, and the order by a colour, as huesift search ranks (labOf: lab.js).
const cards = Array.from(document.querySelectorAll('.card'));
const seen = new IntersectionObserver(entries => {
  for (const entry of entries) {
    if (entry.isIntersecting) {
      const img = entry.target.querySelector('img[data-src]');
      if (img) { img.src = img.dataset.src; img.removeAttribute('data-src'); }
      seen.unobserve(entry.target);
    }
  }
}, {rootMargin: '600px'});
cards.forEach(card => seen.observe(card));
const main = document.querySelector('main');
const picker = document.getElementById('colour'), within = document.getElementById('within');
let chosen = null;
// A card's palette: L*a*b* bytes and share of each colour, worked out once.
function paletteOf(card) {
  if (card.palette === undefined) {
    const text = card.dataset.colors;
    card.palette = text ? text.split(';').map(entry => {
      const v = entry.split(',');
      return labOf(+v[0], +v[1], +v[2]).concat([parseFloat(v[3])]);
    }) : null;
  }
  return card.palette;
}
// The order of huesift search: the share within the distance, in hundredths, highest first;
// then the nearest colour, closest first; then the file's order. Cards without colours last.
function sortByColour(rgb) {
  chosen = rgb;
  const q = labOf(rgb[0], rgb[1], rgb[2]), limit = parseFloat(within.value);
  const keyed = [], rest = [];
  cards.forEach((card, i) => {
    const palette = paletteOf(card);
    if (!palette || !palette.length || !(limit >= 0)) { rest.push(card); return; }
    let share = 0, nearest = Infinity;
    for (const c of palette) {
      const dl = c[0] - q[0], da = c[1] - q[1], db = c[2] - q[2], d2 = dl * dl + da * da + db * db;
      if (Math.sqrt(d2) <= limit) share += c[3];
      if (d2 < nearest) nearest = d2;
    }
    keyed.push([Math.floor(share * 100 + 0.5), nearest, i, card]);
  });
  keyed.sort((a, b) => b[0] - a[0] || a[1] - b[1] || a[2] - b[2]);
  // The flex order places the cards: moving ten thousand nodes would cost seconds.
  keyed.forEach(([hundredths, , , card], rank) => {
    card.querySelector('.score').textContent =
      (hundredths / 100).toFixed(2) + '% within ' + limit + ' of ' + hexOf(rgb);
    card.style.order = rank;
  });
  rest.forEach((card, rank) => {
    const score = card.querySelector('.score');
    if (score) score.textContent = '';
    card.style.order = keyed.length + rank;
  });
  document.getElementById('order').textContent = 'sorted by ' + hexOf(rgb);
  window.scrollTo(0, 0);
}
function hexOf(rgb) { return '#' + rgb.map(c => c.toString(16).padStart(2, '0')).join(''); }
picker.addEventListener('input', () => {
  const v = picker.value;
  sortByColour([1, 3, 5].map(i => parseInt(v.slice(i, i + 2), 16)));
});
within.addEventListener('input', () => { if (chosen) sortByColour(chosen); });
main.addEventListener('click', event => {
  const swatch = event.target.closest('[data-rgb]');
  if (!swatch) return;
  const rgb = swatch.dataset.rgb.split(',').map(Number);
  picker.value = hexOf(rgb);
  sortByColour(rgb);
});
document.getElementById('unsort').addEventListener('click', () => {
  chosen = null;
  for (const card of cards) {
    const score = card.querySelector('.score');
    if (score) score.textContent = '';
    card.style.order = '';
  }
  document.getElementById('order').textContent = '';
});
document.getElementById('filter').addEventListener('input', event => {
  const text = event.target.value.toLowerCase();
  let shown = 0;
  for (const card of cards) {
    const hit = card.dataset.name.includes(text);
    card.classList.toggle('hidden', !hit);
    shown += hit;
  }
  document.getElementById('count').textContent = shown + ' of ' + cards.length + ' images';
});
