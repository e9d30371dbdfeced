// The fixed parts of the page that "export" writes as "html": the style and
// layout, then a small block of the first tracks' rows, then the script,
// then the data block (export_html.h, html_data). The script draws the
// first rows as soon as it runs, before the browser has read the data
// block, and the whole table once it has; it draws only the rows in view,
// so that a library of 100,000 tracks opens as fast as a small one. It writes data only through textContent and
// attributes, never as markup. Test hooks: rows carry data-id and
// data-position, headers data-column and data-dir, tree entries
// data-playlist; the body gets data-first-rows-ms and data-ready-ms
// (milliseconds from the start of loading to the first rows drawn, and to
// the whole table, search, sorting and tree working) and data-ready.
#ifndef DOVREL_EXPORT_HTML_PAGE_H_
#define DOVREL_EXPORT_HTML_PAGE_H_

#include <string_view>

namespace dovrel {

inline constexpr std::string_view kPageHead = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; img-src data:; style-src 'unsafe-inline'; script-src 'unsafe-inline'">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Track library</title>
<style>
:root { --row: 28px; font: 13px/1.4 system-ui, sans-serif; color-scheme: light dark; }
* { box-sizing: border-box; }
html, body { height: 100%; margin: 0; }
body { display: grid; grid-template-rows: auto minmax(0, 1fr); grid-template-columns: 260px minmax(0, 1fr);
       grid-template-areas: "top top" "side main"; }
header { grid-area: top; padding: 8px 12px; border-bottom: 1px solid #8884; display: flex; flex-wrap: wrap;
         gap: 4px 18px; align-items: baseline; }
header h1 { font-size: 16px; margin: 0 12px 0 0; }
#summary { display: flex; flex-wrap: wrap; gap: 4px 16px; align-items: baseline; }
#summary b { font-variant-numeric: tabular-nums; }
#summary details { max-width: 60vw; }
#summary details ul { margin: 4px 0; padding-left: 18px; max-height: 30vh; overflow: auto; }
nav { grid-area: side; overflow: auto; border-right: 1px solid #8884; padding: 6px 0; }
nav .node { display: block; width: 100%; text-align: left; border: 0; background: none; font: inherit;
            color: inherit; padding: 3px 8px; cursor: pointer; white-space: nowrap; overflow: hidden;
            text-overflow: ellipsis; }
nav .node:hover { background: #8882; }
nav .node.selected { background: #3a7bd555; }
nav .folder::before { content: "\25BE\00a0"; }
nav .folder.closed::before { content: "\25B8\00a0"; }
nav .playlist::before { content: "\266A\00a0"; }
nav .all::before { content: "\2261\00a0"; }
main { grid-area: main; display: flex; flex-direction: column; min-width: 0; min-height: 0; }
.tools { display: flex; gap: 12px; align-items: center; padding: 6px 12px; }
#search { flex: 1; max-width: 420px; padding: 4px 8px; font: inherit; }
#title { font-weight: 600; }
.grid { display: grid; grid-template-columns: 36px 56px minmax(150px, 3fr) minmax(110px, 2fr) minmax(110px, 2fr)
        minmax(80px, 1fr) 48px 64px 56px 60px minmax(80px, 1fr) 48px minmax(150px, 3fr); }
.head { border-bottom: 1px solid #8886; font-weight: 600; padding-right: var(--scrollbar, 0px); }
.head div { padding: 4px 6px; cursor: pointer; user-select: none; white-space: nowrap; overflow: hidden; }
.head div[data-dir="asc"]::after { content: " \25B2"; }
.head div[data-dir="desc"]::after { content: " \25BC"; }
#viewport { flex: 1; overflow: auto; position: relative; min-height: 0; }
#spacer { position: relative; }
.row { position: absolute; left: 0; right: 0; height: var(--row); align-items: center; border-bottom: 1px solid #8882; }
.row.odd { background: #8881; }
.row div { padding: 0 6px; white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
.row img { width: 24px; height: 24px; object-fit: cover; display: block; margin: 0 auto; }
.num { text-align: right; font-variant-numeric: tabular-nums; }
#empty { padding: 12px; color: #888; }
</style>
</head>
<body>
<header><h1>Track library</h1><div id="summary"></div></header>
<nav id="tree" aria-label="Playlists"></nav>
<main>
<div class="tools"><span id="title"></span><input id="search" type="search" autocomplete="off" aria-label="Search"
placeholder="Search titles, artists, albums, genres, keys, labels, comments, files"><span id="count"></span></div>
<div class="grid head" id="head"></div>
<div id="viewport"><div id="spacer"></div><div id="empty" hidden>No tracks.</div></div>
</main>
<script type="application/json" id="library-first">)html";

// Between the first rows and the data: the script, which draws the first
// rows at once and the rest once the data block has arrived.
inline constexpr std::string_view kPageMiddle = R"html(</script>
<script>
(function () {
  "use strict";
  var data = null, tracks = JSON.parse(document.getElementById("library-first").textContent);
  var art = {}, playlists = [], summary = null;
  var ROW = 28, OVERSCAN = 10;
  // The fields of a track, as the data block orders them.
  var F = {id: 0, title: 1, artist: 2, album: 3, genre: 4, key: 5, label: 6, bpm: 7, duration: 8, rating: 9,
           bitrate: 10, sampleRate: 11, sampleDepth: 12, fileSize: 13, fileType: 14, comment: 15, audioPath: 16,
           analysisPath: 17, artworkPath: 18};
  var SEARCHED = [F.title, F.artist, F.album, F.genre, F.key, F.label, F.comment, F.audioPath];
  function two(n) { return (n < 10 ? "0" : "") + n; }
  function clock(s) {
    var h = Math.floor(s / 3600), m = Math.floor(s % 3600 / 60), x = s % 60;
    return h ? h + ":" + two(m) + ":" + two(x) : m + ":" + two(x);
  }
  var COLUMNS = [
    {name: "art", label: "", kind: "art"},
    {name: "position", label: "#", kind: "position"},
    {name: "title", label: "Title", field: F.title},
    {name: "artist", label: "Artist", field: F.artist},
    {name: "album", label: "Album", field: F.album},
    {name: "genre", label: "Genre", field: F.genre},
    {name: "key", label: "Key", field: F.key},
    {name: "bpm", label: "BPM", field: F.bpm, kind: "number", format: function (v) { return v.toFixed(2); }},
    {name: "duration", label: "Time", field: F.duration, kind: "number", format: clock},
    {name: "rating", label: "Rating", field: F.rating, kind: "number"},
    {name: "label", label: "Label", field: F.label},
    {name: "fileType", label: "Type", field: F.fileType},
    {name: "audioPath", label: "File", field: F.audioPath}
  ];
  var hasOwn = Object.prototype.hasOwnProperty;
  var collator = new Intl.Collator(undefined, {sensitivity: "base", numeric: true});
  var viewport = document.getElementById("viewport"), spacer = document.getElementById("spacer");
  var source = null, shown = [], sortColumn = null, sortDir = 1, query = "", haystack = [];
  var headCells = [];

  function everyTrack() {
    var items = new Array(tracks.length);
    for (var i = 0; i < items.length; i++) items[i] = i;
    return items;
  }
  function hay(t) {
    var h = haystack[t];
    if (h === undefined) {
      var r = tracks[t], s = "";
      for (var k = 0; k < SEARCHED.length; k++) s += r[SEARCHED[k]] + "\n";
      h = haystack[t] = s.toLowerCase();
    }
    return h;
  }

  // The rows of the current list that match the search, sorted: positions
  // in source.items.
  function refresh() {
    var items = source.items, words = query.toLowerCase().split(/\s+/).filter(Boolean), keep = [];
    for (var p = 0; p < items.length; p++) {
      var ok = true;
      if (words.length) {
        var h = hay(items[p]);
        for (var w = 0; w < words.length && ok; w++) ok = h.indexOf(words[w]) >= 0;
      }
      if (ok) keep.push(p);
    }
    if (sortColumn && sortColumn.kind !== "art") {
      var c = sortColumn, values = new Array(keep.length), order = new Array(keep.length);
      for (var i = 0; i < keep.length; i++) {
        values[i] = c.kind === "position" ? keep[i] : tracks[items[keep[i]]][c.field];
        order[i] = i;
      }
      var numeric = c.kind === "number" || c.kind === "position", dir = sortDir;
      order.sort(function (a, b) {
        var d = numeric ? values[a] - values[b] : collator.compare(values[a], values[b]);
        return d ? d * dir : a - b;
      });
      var sorted = new Array(keep.length);
      for (var j = 0; j < order.length; j++) sorted[j] = keep[order[j]];
      keep = sorted;
    }
    shown = keep;
    document.getElementById("count").textContent = (shown.length === items.length ? "" : shown.length + " of ") +
        items.length + (items.length === 1 ? " track" : " tracks");
    document.getElementById("empty").hidden = shown.length > 0;
    spacer.style.height = (shown.length * ROW) + "px";
    // The header keeps above its columns when the rows get a scroll bar.
    document.documentElement.style.setProperty("--scrollbar", (viewport.offsetWidth - viewport.clientWidth) + "px");
    render();
  }

  function makeRow(i) {
    var p = shown[i], r = tracks[source.items[p]], row = document.createElement("div");
    row.className = "row grid" + (i % 2 ? " odd" : "");
    row.style.top = (i * ROW) + "px";
    row.dataset.id = r[F.id];
    row.dataset.position = p + 1;
    for (var k = 0; k < COLUMNS.length; k++) {
      var c = COLUMNS[k], cell = document.createElement("div");
      if (c.kind === "art") {
        // Own keys only: a path such as "constructor" names no image.
        var uri = hasOwn.call(art, r[F.artworkPath]) ? art[r[F.artworkPath]] : "";
        if (uri) {
          var img = document.createElement("img");
          img.src = uri;
          img.alt = "";
          cell.appendChild(img);
        }
      } else {
        var v = c.kind === "position" ? p + 1 : r[c.field];
        cell.textContent = c.format ? c.format(v) : v;
        if (c.kind === "number" || c.kind === "position") cell.className = "num";
        if (!c.kind) cell.title = v;
      }
      row.appendChild(cell);
    }
    return row;
  }

  var pending = false, firstRows = false;
  function render() {
    pending = false;
    var top = viewport.scrollTop, height = viewport.clientHeight || 800;
    var first = Math.max(0, Math.floor(top / ROW) - OVERSCAN);
    var last = Math.min(shown.length, Math.ceil((top + height) / ROW) + OVERSCAN);
    var rows = document.createDocumentFragment();
    for (var i = first; i < last; i++) rows.appendChild(makeRow(i));
    spacer.replaceChildren(rows);
    if (!firstRows) {
      firstRows = true;
      document.body.dataset.firstRowsMs = String(Math.round(performance.now()));
    }
  }
  viewport.addEventListener("scroll", function () {
    if (!pending) {
      pending = true;
      requestAnimationFrame(render);
    }
  });
  window.addEventListener("resize", function () { render(); });

  function buildHead() {
    var head = document.getElementById("head");
    COLUMNS.forEach(function (c) {
      var cell = document.createElement("div");
      cell.textContent = c.label;
      cell.dataset.column = c.name;
      if (c.kind === "number" || c.kind === "position") cell.className = "num";
      if (c.kind !== "art") {
        cell.title = "Sort by " + (c.label === "#" ? "position" : c.label.toLowerCase());
        cell.addEventListener("click", function () { sortBy(c); });
      }
      headCells.push(cell);
      head.appendChild(cell);
    });
  }
  function sortBy(c) {
    if (!data) return;
    sortDir = sortColumn === c ? -sortDir : 1;
    sortColumn = c;
    headCells.forEach(function (cell) {
      if (cell.dataset.column === c.name) cell.dataset.dir = sortDir > 0 ? "asc" : "desc";
      else delete cell.dataset.dir;
    });
    refresh();
  }
  function clearSort() {
    sortColumn = null;
    headCells.forEach(function (cell) { delete cell.dataset.dir; });
  }

  var treeNodes = [];
  function show(name, items, node) {
    source = {name: name, items: items};
    document.getElementById("title").textContent = name;
    treeNodes.forEach(function (n) { n.classList.toggle("selected", n === node); });
    clearSort();
    viewport.scrollTop = 0;
    refresh();
  }
  function updateFolders() {
    var closedDepth = Infinity;
    for (var k = 0; k < treeNodes.length; k++) {
      var n = treeNodes[k], depth = Number(n.dataset.depth);
      if (depth <= closedDepth) closedDepth = Infinity;
      n.hidden = depth > closedDepth;
      if (!n.hidden && n.classList.contains("closed")) closedDepth = depth;
    }
  }
  function buildTree() {
    var tree = document.getElementById("tree");
    var all = document.createElement("button");
    all.className = "node all";
    all.textContent = "All tracks";
    all.dataset.playlist = "all";
    all.dataset.depth = "-1";
    all.addEventListener("click", function () { show("All tracks", everyTrack(), all); });
    tree.appendChild(all);
    treeNodes.push(all);
    playlists.forEach(function (pl) {
      var node = document.createElement("button"), folder = pl[2] === 1;
      node.className = "node " + (folder ? "folder" : "playlist");
      node.textContent = pl[1] === "" ? "(no name)" : pl[1];
      node.title = pl[1];
      node.dataset.depth = String(pl[3]);
      node.style.paddingLeft = (8 + 14 * (pl[3] + 1)) + "px";
      if (folder) {
        node.dataset.folder = String(pl[0]);
        node.addEventListener("click", function () {
          node.classList.toggle("closed");
          updateFolders();
        });
      } else {
        node.dataset.playlist = String(pl[0]);
        node.addEventListener("click", function () { show(pl[1], pl[4].slice(), node); });
      }
      tree.appendChild(node);
      treeNodes.push(node);
    });
    return all;
  }

  function buildSummary() {
    var box = document.getElementById("summary");
    function figure(value, one, many) {
      var span = document.createElement("span"), b = document.createElement("b");
      b.textContent = value;
      span.appendChild(b);
      span.appendChild(document.createTextNode(" " + (value === 1 ? one : many)));
      box.appendChild(span);
      return span;
    }
    figure(summary.tracks, "track", "tracks");
    figure(summary.playlists, "playlist", "playlists");
    figure(summary.folders, "folder", "folders");
    var time = figure(clock(summary.totalDuration), "", "in all");
    time.title = summary.totalDuration + " seconds";
    var dups = summary.duplicateAudioPaths;
    if (dups.length) {
      var details = document.createElement("details"), head = document.createElement("summary");
      var list = document.createElement("ul");
      head.textContent = dups.length + (dups.length === 1 ? " audio path" : " audio paths") + " named more than once";
      dups.forEach(function (d) {
        var li = document.createElement("li");
        li.textContent = d[0] + " (" + d[1] + " tracks)";
        list.appendChild(li);
      });
      details.appendChild(head);
      details.appendChild(list);
      box.appendChild(details);
    } else {
      figure(0, "duplicate audio path", "duplicate audio paths");
    }
    figure(summary.tracksWithoutArtwork, "track without artwork", "tracks without artwork");
    if (summary.artworkShown !== undefined) figure(summary.artworkShown, "thumbnail shown", "thumbnails shown");
  }

  var searchTimer = 0;
  document.getElementById("search").addEventListener("input", function (e) {
    var value = e.target.value;
    clearTimeout(searchTimer);
    searchTimer = setTimeout(function () {
      query = value;
      viewport.scrollTop = 0;
      refresh();
    }, 120);
  });
  buildHead();
  // The first rows, while the rest of the page loads.
  show("All tracks", everyTrack(), null);
  document.addEventListener("DOMContentLoaded", function () {
    data = JSON.parse(document.getElementById("library-data").textContent);
    tracks = data.tracks;
    art = data.art;
    playlists = data.playlists;
    summary = data.summary;
    haystack = [];
    buildSummary();
    show("All tracks", everyTrack(), buildTree());
    document.body.dataset.readyMs = String(Math.round(performance.now()));
    document.body.dataset.ready = "1";
  });
})();
</script>
<script type="application/json" id="library-data">)html";

inline constexpr std::string_view kPageTail = R"html(</script>
</body>
</html>
)html";

}  // namespace dovrel

#endif  // DOVREL_EXPORT_HTML_PAGE_H_
