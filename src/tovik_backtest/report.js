/* The report page's live parts.
 *
 * Price and equity lines come packed (deflated int32 steps or float64 arrays, base64)
 * in the #report-series block and are drawn a few points per pixel column: the first, lowest,
 * highest and last tick of each, so a spike is never lost; zoomed in far enough every
 * tick is drawn. The time axis is session-compressed (nights, weekends and holidays take
 * no width), so its labels are worked out here from the sessions' table. Tables with
 * the class "sortable" sort on a click of their header.
 */
(function () {
  "use strict";

  function bytesOf(b64) {
    const text = atob(b64);
    const out = new Uint8Array(text.length);
    for (let i = 0; i < text.length; i++) out[i] = text.charCodeAt(i);
    return out;
  }

  async function inflate(b64) {
    const stream = new Blob([bytesOf(b64)]).stream().pipeThrough(new DecompressionStream("deflate"));
    return new Response(stream).arrayBuffer();
  }

  // a packed line: int32 steps from a base in units of 1 / scale, or plain float64 values
  async function unpack(packed) {
    if (packed.values !== undefined) return new Float64Array(await inflate(packed.values));
    const steps = new Int32Array(await inflate(packed.steps));
    const out = new Float64Array(steps.length);
    let at = packed.base;
    for (let i = 0; i < steps.length; i++) { at += steps[i]; out[i] = at / packed.scale; }
    return out;
  }

  // first index whose value is above v (upper) / not below v (lower)
  function upper(xs, v) {
    let lo = 0, hi = xs.length;
    while (lo < hi) { const m = (lo + hi) >> 1; if (xs[m] <= v) lo = m + 1; else hi = m; }
    return lo;
  }
  function lower(xs, v) {
    let lo = 0, hi = xs.length;
    while (lo < hi) { const m = (lo + hi) >> 1; if (xs[m] < v) lo = m + 1; else hi = m; }
    return lo;
  }

  function axisClock(sessions) {
    function wallMs(x) {
      const i = Math.max(upper(sessions.x, x) - 1, 0);
      if (!sessions.x.length) return 0;
      return Math.min(sessions.start_ms[i] + (x - sessions.x[i]) * 3.6e6, sessions.end_ms[i]);
    }
    // wall time is written as UTC, so the ISO text of the instant is the Taipei clock
    const iso = (x) => new Date(wallMs(x)).toISOString();
    return {
      full: (x) => iso(x).slice(0, 23).replace("T", " "),
      label(x, span) {
        const t = iso(x);
        if (span > 0.5) return t.slice(5, 10) + " " + t.slice(11, 16);
        if (span > 0.01) return t.slice(11, 19);
        return t.slice(11, 23);
      },
    };
  }

  // the points of one line to draw in [a, b] on `width` pixel columns
  function pick(xs, ys, a, b, width) {
    const i0 = Math.max(lower(xs, a) - 1, 0), i1 = Math.min(upper(xs, b) + 1, xs.length);
    const ox = [], oy = [];
    if (i1 - i0 <= 4 * width) {
      for (let i = i0; i < i1; i++) { ox.push(xs[i]); oy.push(ys[i]); }
      return [ox, oy];
    }
    const scale = width / (b - a);
    let i = i0;
    while (i < i1) {
      const column = Math.floor((xs[i] - a) * scale);
      let lo = i, hi = i, j = i;
      while (j < i1 && Math.floor((xs[j] - a) * scale) === column) {
        if (ys[j] < ys[lo]) lo = j;
        if (ys[j] > ys[hi]) hi = j;
        j++;
      }
      let previous = -1;
      for (const k of [i, lo, hi, j - 1].sort((p, q) => p - q)) {
        if (k !== previous) { ox.push(xs[k]); oy.push(ys[k]); previous = k; }
      }
      i = j;
    }
    return [ox, oy];
  }

  async function drawLines(plan) {
    const gd = document.getElementById(plan.div);
    if (!gd) return;
    const clock = axisClock(plan.sessions);
    const series = await Promise.all(plan.series.map(async (s) => (
      { trace: s.trace, x: await unpack(s.x), y: await unpack(s.y) })));
    const axes = Object.keys(gd._fullLayout).filter((k) => /^xaxis\d*$/.test(k));
    let busy = false;

    async function update(a, b) {
      const width = Math.max((gd._fullLayout.width || 1000) - 120, 200);
      const update = { x: [], y: [], text: [] };
      for (const s of series) {
        const [px, py] = pick(s.x, s.y, a, b, width);
        update.x.push(px);
        update.y.push(py);
        update.text.push(px.map(clock.full));
      }
      const ticks = [], labels = [];
      for (let k = 0; k <= 8; k++) {
        const x = a + (b - a) * k / 8;
        ticks.push(x);
        labels.push(clock.label(x, b - a));
      }
      const layout = {};
      for (const name of axes) { layout[name + ".tickvals"] = ticks; layout[name + ".ticktext"] = labels; }
      busy = true;
      try {
        if (series.length) await Plotly.restyle(gd, update, series.map((s) => s.trace));
        await Plotly.relayout(gd, layout);
      } finally {
        busy = false;
      }
    }

    gd.on("plotly_relayout", (event) => {
      if (busy) return;
      const keys = Object.keys(event);
      if (keys.some((k) => /^xaxis\d*\.autorange$/.test(k))) {
        Plotly.relayout(gd, { "xaxis.range": plan.extent.slice() });
        return;
      }
      if (!keys.some((k) => /^xaxis\d*\.range/.test(k))) return;
      const range = gd._fullLayout.xaxis.range;
      update(Number(range[0]), Number(range[1])).catch((e) => console.error(e));
    });
    await update(plan.extent[0], plan.extent[1]);
  }

  function sortable() {
    for (const table of document.querySelectorAll("table.sortable")) {
      table.querySelectorAll("thead th").forEach((th, column) => th.addEventListener("click", () => {
        const body = table.tBodies[0];
        const rows = Array.from(body.rows);
        const direction = th.dataset.order === "up" ? -1 : 1;
        table.querySelectorAll("thead th").forEach((other) => delete other.dataset.order);
        th.dataset.order = direction === 1 ? "up" : "down";
        // numbers by value (their thousands commas dropped), other text (times) as written
        const key = (row) => row.cells[column].textContent;
        rows.sort((p, q) => {
          const a = key(p), b = key(q), na = Number(a.replace(/,/g, "")), nb = Number(b.replace(/,/g, ""));
          const numbers = a !== "" && b !== "" && !Number.isNaN(na) && !Number.isNaN(nb);
          return (numbers ? na - nb : String(a).localeCompare(String(b))) * direction;
        });
        body.append(...rows);
      }));
    }
  }

  window.addEventListener("load", () => {
    sortable();
    const plan = JSON.parse(document.getElementById("report-series").textContent);
    drawLines(plan).then(() => { window.reportReady = true; }, (e) => {
      console.error("the report's lines could not be drawn:", e);
      window.reportReady = false;
    });
  });
})();
