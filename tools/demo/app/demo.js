// Stand-in chart page: opens the demo chart package and shows its tiles and place names,
// the own ship with its track from the host state and the AIS targets, and keeps the view
// for the next start in cpApp.close().
(function () {
  'use strict';
  var W = 40030178.618589394;          // side of the AIS world square in metres
  var TILE = 256;
  var CHART = 2;                       // the demo chart package, A000002.veskara
  var view = { lat: 54.55, lon: 10.4, z: 10 };
  var zoomRange = [2, 18];
  var chartReady = false;              // tiles wait for the package, or they would be cached blank
  var follow = false;
  var places = [];
  var own = null;                      // last host state
  var STALE = 5;                       // seconds without a sentence after which a fix is lost
  var STALE_LOCATION = 20;             // the desktop's location comes every 15 s at most
  var hostTime = 0, hostTimeSeen = 0;  // the host's last sentence time, and when it last moved
  var track = [];                      // [lon, lat, ts], the newest TRACK_POINTS
  var TRACK_POINTS = 5000;
  var since = 0;                       // newest track time held
  var targets = {};                    // by MMSI
  var pageId = Math.random().toString(36).slice(2);

  // Optional observer of the page's own events (report.js may set DemoReport to a URL).
  function report(kind, data, wait) {
    if (!window.DemoReport) return;
    var body = JSON.stringify(Object.assign({ id: pageId }, data || {}));
    try {
      var x = new XMLHttpRequest();
      x.open('POST', window.DemoReport + kind, !wait);
      x.setRequestHeader('Content-Type', 'text/plain');
      x.send(body);
    } catch (e) { /* an observer that is not there changes nothing */ }
  }

  function $(id) { return document.getElementById(id); }

  function worldSize(z) { return TILE * Math.pow(2, z); }
  function project(lat, lon, z) {
    var phi = lat * Math.PI / 180, s = worldSize(z);
    return { x: (lon + 180) / 360 * s, y: (1 - Math.log(Math.tan(phi) + 1 / Math.cos(phi)) / Math.PI) / 2 * s };
  }
  function unproject(x, y, z) {
    var s = worldSize(z), n = Math.PI - 2 * Math.PI * y / s;
    return { lat: 180 / Math.PI * Math.atan(0.5 * (Math.exp(n) - Math.exp(-n))), lon: x / s * 360 - 180 };
  }
  function mapSize() { var m = $('map'); return { w: m.clientWidth, h: m.clientHeight }; }
  // Top-left corner of the map in world pixels.
  function origin() {
    var c = project(view.lat, view.lon, view.z), m = mapSize();
    return { x: c.x - m.w / 2, y: c.y - m.h / 2 };
  }

  function drawTiles() {
    var o = origin(), m = mapSize(), n = Math.pow(2, view.z), box = $('tiles');
    var html = '';
    if (!chartReady) return;
    for (var ty = Math.floor(o.y / TILE); ty * TILE < o.y + m.h; ty++) {
      if (ty < 0 || ty >= n) continue;
      for (var tx = Math.floor(o.x / TILE); tx * TILE < o.x + m.w; tx++) {
        var wx = ((tx % n) + n) % n;
        html += '<img alt="" onerror="this.style.visibility=\'hidden\'" src="/getTile/A' + CHART + '/' + view.z + '/' + ty + '/' + wx + '" style="left:' +
                Math.round(tx * TILE - o.x) + 'px;top:' + Math.round(ty * TILE - o.y) + 'px">';
      }
    }
    box.innerHTML = html;
  }

  function svg(tag, attrs) {
    var e = document.createElementNS('http://www.w3.org/2000/svg', tag);
    for (var k in attrs) e.setAttribute(k, attrs[k]);
    return e;
  }

  // AIS names from this zoom level on; below it a harbour's targets are one clump.
  var LABEL_ZOOM = 12;
  // A track point this far (metres) from the one before starts a new line: the own ship
  // came from another source, not across the chart.
  var TRACK_GAP = 2000;

  function metres(a, b) {
    var r = Math.PI / 180, dx = (b[0] - a[0]) * r * Math.cos((a[1] + b[1]) / 2 * r), dy = (b[1] - a[1]) * r;
    return Math.sqrt(dx * dx + dy * dy) * 6371000;
  }

  function overlaps(a, list) {
    for (var i = 0; i < list.length; i++) {
      var b = list[i];
      if (a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h) return true;
    }
    return false;
  }

  // The overlay keeps its elements and changes only what they show: a page that runs for
  // weeks would otherwise leave the engine hundreds of discarded nodes a second. A pool
  // hands out the elements of one group in turn; those left over are hidden.
  function Pool(group, tag, fixed) { this.group = group; this.tag = tag; this.fixed = fixed; this.n = 0; }
  Pool.prototype.next = function (attrs) {
    var e = this.group.childNodes[this.n++] || this.group.appendChild(svg(this.tag, this.fixed));
    e.removeAttribute('display');
    for (var k in attrs) e.setAttribute(k, attrs[k]);
    return e;
  };
  Pool.prototype.end = function () {
    for (var c = this.group.childNodes, i = this.n; i < c.length; i++) c[i].setAttribute('display', 'none');
    this.n = 0;
  };
  var layers = null;
  function overlayLayers() {
    if (layers) return layers;
    var top = $('overlay'), group = function () { return top.appendChild(svg('g', {})); };
    // Drawn in this order: track, AIS symbols, place names, AIS names, own ship.
    layers = { track: top.appendChild(svg('path', { 'class': 'track' })), link: top.appendChild(svg('path', { 'class': 'track' })) };
    layers.ais = new Pool(group(), 'polygon', { 'class': 'ais', points: '0,-8 5,6 -5,6' });
    layers.places = new Pool(group(), 'text', { 'class': 'place' });
    layers.labels = new Pool(group(), 'text', { 'class': 'label' });
    layers.own = top.appendChild(svg('polygon', { points: '0,-12 7,9 0,5 -7,9' }));
    return layers;
  }
  function setText(e, text) { if (e.textContent !== text) e.textContent = text; }

  // Puts a label beside its point where it covers no other label or symbol, or hides it.
  function placeLabel(pool, text, px, py, taken) {
    var label = pool.next({ x: 0, y: 0 });
    setText(label, text);
    var w = label.getComputedTextLength ? label.getComputedTextLength() : text.length * 6, h = 12;
    var spots = [[9, -h / 2], [-9 - w, -h / 2], [-w / 2, -10 - h], [-w / 2, 10], [9, -h - 4], [9, 4], [-9 - w, -h - 4], [-9 - w, 4]];
    for (var i = 0; i < spots.length; i++) {
      var box = { x: px + spots[i][0], y: py + spots[i][1], w: w, h: h };
      if (overlaps(box, taken)) continue;
      taken.push(box);
      label.setAttribute('x', box.x);
      label.setAttribute('y', box.y + h - 2);
      return true;
    }
    label.setAttribute('display', 'none');
    return false;
  }

  // The logged points are drawn about the newest of them and moved with the view: the path
  // is made anew only when a point comes or the zoom changes. A gap starts a new line.
  var trackAt = null, trackKey = '';
  function drawTrack(l, o, ownFix) {
    var end = track.length ? track[track.length - 1] : null;
    var key = view.z + ' ' + track.length + ' ' + (end ? end[2] : '');
    if (key !== trackKey) {
      trackKey = key;
      trackAt = end ? project(end[1], end[0], view.z) : { x: 0, y: 0 };
      var d = [], last = null;
      track.forEach(function (p) {
        var q = project(p[1], p[0], view.z);
        d.push((last && metres(last, p) <= TRACK_GAP ? '' : 'M') + (q.x - trackAt.x).toFixed(1) + ',' +
               (q.y - trackAt.y).toFixed(1));
        last = p;
      });
      l.track.setAttribute('d', d.join(' '));
    }
    l.track.setAttribute('transform', 'translate(' + (trackAt.x - o.x) + ',' + (trackAt.y - o.y) + ')');
    // The ship where it is now, so the line reaches it.
    var link = '';
    if (ownFix && end && metres(end, [own.lonX, own.latY]) <= TRACK_GAP) {
      var a = project(end[1], end[0], view.z), b = project(own.latY, own.lonX, view.z);
      link = 'M' + (a.x - o.x) + ',' + (a.y - o.y) + ' ' + (b.x - o.x) + ',' + (b.y - o.y);
    }
    l.link.setAttribute('d', link);
  }

  function drawOverlay() {
    var o = origin(), s = worldSize(view.z), l = overlayLayers();
    var ownFix = own && own.fix !== 0 && Math.abs(own.latY) <= 90;
    var lost = ownFix && own.lost;
    drawTrack(l, o, ownFix);
    // Symbols first, then names where they fit: place names, then the named targets.
    var taken = [], shown = [];
    Object.keys(targets).sort(function (a, b) {
      var na = targets[a].name ? 0 : 1, nb = targets[b].name ? 0 : 1;
      return na - nb || (a < b ? -1 : a > b ? 1 : 0);
    }).forEach(function (mmsi) {
      var t = targets[mmsi];
      if (t.x === undefined || t.x === -2147483648) return;
      var px = t.x / W * s - o.x, py = t.y / W * s - o.y;
      var rot = t.cog !== undefined && t.cog < 3600 ? t.cog / 10 : 0;
      l.ais.next({ transform: 'translate(' + px + ',' + py + ') rotate(' + rot + ')' });
      taken.push({ x: px - 6, y: py - 8, w: 12, h: 15 });
      shown.push({ text: t.name || mmsi, x: px, y: py });
    });
    l.ais.end();
    var ownAt = null;
    if (ownFix) {
      var p = project(own.latY, own.lonX, view.z);
      ownAt = { x: p.x - o.x, y: p.y - o.y };
      taken.push({ x: ownAt.x - 8, y: ownAt.y - 12, w: 16, h: 22 });
    }
    // Place names come most important first; one that would cover another is left out.
    var names = [];
    places.forEach(function (p) {
      var label = l.places.next({ x: p.x / W * s - o.x, y: p.y / W * s - o.y });
      setText(label, p.n);
      var b = label.getBBox ? label.getBBox() : null;
      if (!b) return;
      var box = { x: b.x, y: b.y, w: b.width, h: b.height };
      if (overlaps(box, names)) { label.setAttribute('display', 'none'); return; }
      names.push(box);
      taken.push(box);
    });
    l.places.end();
    if (view.z >= LABEL_ZOOM) shown.forEach(function (t) { placeLabel(l.labels, t.text, t.x, t.y, taken); });
    l.labels.end();
    if (ownAt) {
      l.own.removeAttribute('display');
      l.own.setAttribute('class', lost ? 'own lost' : 'own');
      l.own.setAttribute('transform', 'translate(' + ownAt.x + ',' + ownAt.y + ') rotate(' + own.heading + ')');
    } else {
      l.own.setAttribute('display', 'none');
    }
  }

  // Place names of the chart around the middle of the view.
  var placesTimer = 0;
  function loadPlaces() {
    clearTimeout(placesTimer);
    placesTimer = setTimeout(function () {
      var c = project(view.lat, view.lon, view.z), m = mapSize(), s = worldSize(view.z);
      var r = Math.round(Math.max(m.w, m.h) / s * W);
      request('places', 'GET', '/gazetteer/' + Math.round(c.x / s * W) + '/' + Math.round(c.y / s * W) + '/' + r, null,
              function (text) {
                places = JSON.parse(text);
                $('places').textContent = $('places').title = places.map(function (p) { return p.n; }).join(' \u00b7 ');
                drawOverlay();
              });
    }, 300);
  }

  function redraw() { drawTiles(); drawOverlay(); if (chartReady) loadPlaces(); }

  function fixText(fix, lost, age) {
    if (fix === 0) return 'no fix';
    if (lost) return 'fix lost: no data for ' + age + ' s';
    if (fix === 999) return 'simulated';
    if (fix === 998) return 'waiting for NMEA over TCP';
    if (fix < 0) return 'location \u00b1' + (-fix) + ' m';
    return 'GPS fix';
  }

  // The host's "time" moves with every sentence it takes; a fix whose time stands still
  // is the last one of a source that has gone quiet.
  var lastFixText = '';
  function showState(s) {
    var now = Date.now();
    if (s.time !== hostTime) { hostTime = s.time; hostTimeSeen = now; }
    var age = Math.floor((now - hostTimeSeen) / 1000);
    s.lost = s.fix !== 0 && age > (s.fix < 0 ? STALE_LOCATION : STALE);
    own = s;
    var text = fixText(s.fix, s.lost, age);
    $('fix').textContent = text;
    if (text.split(':')[0] !== lastFixText) { lastFixText = text.split(':')[0]; report('status', { fix: text }); }
    var known = Math.abs(s.latY) <= 90, moving = known && !s.lost;
    $('pos').textContent = known ? s.latY.toFixed(5) + ' ' + s.lonX.toFixed(5) : '';
    $('sog').textContent = moving ? (s.speed * 1.943844).toFixed(1) + ' kn' : '';
    $('cog').textContent = moving ? s.heading + '\u00b0' : '';
    $('depth').textContent = s.dbt ? s.dbt.toFixed(1) + ' m' : '';
    // A long track comes whole with the first answer; only its newest points are kept.
    var add = s.track || [];
    for (var i = 0; i < add.length; i++) if (add[i][2] > since) since = add[i][2];
    for (i = Math.max(0, add.length - TRACK_POINTS); i < add.length; i++) track.push(add[i]);
    if (track.length > TRACK_POINTS) track.splice(0, track.length - TRACK_POINTS);
    if (follow && moving && s.fix !== 0) { view.lat = s.latY; view.lon = s.lonX; redraw(); } else drawOverlay();
  }

  // One request of each kind at a time, each with a time limit (5 s unless given), so a
  // route that does not answer never ties up the browser's connections to the host.
  var busy = {};
  function request(kind, method, path, body, done, after, timeout) {
    if (busy[kind]) return;
    busy[kind] = true;
    var x = new XMLHttpRequest();
    x.open(method, path);
    x.timeout = timeout || 5000;
    x.onload = function () { try { if (done) done(x.responseText); } catch (e) { /* keep what is shown */ } };
    x.onloadend = function () { busy[kind] = false; if (after) after(); };
    x.send(body);
  }

  // The host takes serial input switched on while NMEA over TCP is on as on, but starts
  // nothing; once TCP is off, an off-on sent to it starts serial input after all.
  var serialHeld = false, serialOff = false;
  function serialNote() {
    var on = $('serial').value === '1', tcp = $('tcp').value === '1';
    $('serialNote').textContent = on && tcp ? 'Idle while NMEA over TCP is on.' : '';
  }

  function pollHost() {
    if (busy.host) return;
    var serial = serialOff ? '0' : $('serial').value;
    serialOff = false;
    // The first answer holds the whole track, a million points after a long passage: it
    // gets the time it takes, or every retry would start the host on it once more.
    request('host', 'POST', '/getSetHostStat/60/50/' + serial + '/' + since, JSON.stringify({ view: view }),
            function (text) { showState(JSON.parse(text)); }, null, since ? 0 : 120000);
  }

  // AIS rows: positions from 1-3, 4, 9, 18 and 21; names from 5, 19, 21 and 24.
  var aisList = '';
  function takeAis(doc) {
    $('tcpStat').textContent = doc.nmea_stat === 1 ? 'TCP' : doc.nmea_stat === -1 ? 'TCP waiting' : '';
    var now = Date.now();
    doc.ais.forEach(function (r) {
      var t = targets[r[0]] || (targets[r[0]] = {});
      t.seen = now;
      var id = r[1];
      if (id <= 4 || id === 9 || id === 18 || id === 21) { t.x = r[3]; t.y = r[4]; }
      if (id <= 3 || id === 9 || id === 18) t.cog = r[6];
      if (id === 5 || id === 19 || id === 21 || id === 24) { if (r[6]) t.name = r[6]; }
    });
    Object.keys(targets).forEach(function (k) { if (now - targets[k].seen > 600000) delete targets[k]; });
    // Every target, by name (unnamed ones by MMSI after them); the list scrolls.
    var keys = Object.keys(targets).sort(function (a, b) {
      var na = targets[a].name || '\uffff' + a, nb = targets[b].name || '\uffff' + b;
      return na < nb ? -1 : na > nb ? 1 : 0;
    });
    $('aisCount').textContent = keys.length;
    var list = keys.map(function (k) {
      return '<li>' + (targets[k].name || k).replace(/[<&]/g, '') + '</li>';
    }).join('');
    if (list !== aisList) $('aisList').innerHTML = aisList = list;
    drawOverlay();
  }

  function pollAis() {
    // Names may carry \' which strict JSON does not know. The host hands each row out once
    // and answers at once; only a page busy for seconds (with a long track, say) sees the
    // answer late, and giving up then would lose its rows.
    request('ais', 'GET', '/getAisData', null, function (text) { takeAis(JSON.parse(text.replace(/\\'/g, "'"))); },
            null, 60000);
  }

  // One zoom level in or out, about a point of the map (its middle by default), which
  // stays where it is on the screen.
  function zoom(d, at) {
    var z = Math.max(zoomRange[0], Math.min(zoomRange[1], view.z + d)), m = mapSize();
    if (z === view.z) return;
    if (at && !follow) {
      var o = origin(), p = unproject(o.x + at.x, o.y + at.y, view.z), q = project(p.lat, p.lon, z);
      var c = unproject(q.x - at.x + m.w / 2, q.y - at.y + m.h / 2, z);
      view.lat = c.lat; view.lon = c.lon;
    }
    view.z = z;
    redraw();
    report('zoom', { z: z });
  }

  function setFollow(on) {
    follow = on;
    $('ship').className = on ? 'on' : '';
    if (on && own && Math.abs(own.latY) <= 90) { view.lat = own.latY; view.lon = own.lonX; redraw(); }
  }

  // Opens the demo chart package, then takes its area and name from its map texts. Tiles
  // follow in any case, once these requests have ended one way or the other.
  function openChart(savedView) {
    request('chart', 'GET', '/getSetState/chartdb=A00000' + CHART + '.veskara', null, null, function () {
      request('bounds', 'GET', '/getMapData/bounds', null, function (text) {
        var b = JSON.parse(text);
        if (b.zmin !== undefined) zoomRange = [b.zmin, b.zmax];
        if (!savedView) {
          view.lat = (b.lat0 + b.lat1) / 2; view.lon = (b.lon0 + b.lon1) / 2;
          view.z = Math.max(zoomRange[0], Math.min(zoomRange[1], 10));
        }
      }, function () { chartReady = true; redraw(); report('chart', { tiles: $('tiles').children.length, z: view.z }); });
      request('name', 'GET', '/getMapData/name', null, function (text) { $('chartName').textContent = JSON.parse(text); });
    });
  }


  // A place name of the chart near the view, or "lat lon" in degrees.
  function find(text) {
    $('findNote').textContent = '';
    var name = text.trim().toLowerCase(), s = worldSize(view.z);
    var hit = name && places.filter(function (p) { return p.n.toLowerCase().indexOf(name) === 0; })[0];
    var m = /^\s*(-?\d+(?:\.\d+)?)[\s,]+(-?\d+(?:\.\d+)?)\s*$/.exec(text);
    if (hit) {
      var at = unproject(hit.x / W * s, hit.y / W * s, view.z);
      view.lat = at.lat; view.lon = at.lon;
    } else if (m) {
      view.lat = +m[1]; view.lon = +m[2];
    } else {
      $('findNote').textContent = 'not found: ' + text;
      return;
    }
    setFollow(false);
    redraw();
  }


  // Stores a value for the next start, as JSON (an empty text too).
  function keep(key, value, sync) {
    try {
      var x = new XMLHttpRequest();
      x.open('POST', '/setValue/' + key, !sync);
      x.send(JSON.stringify(value));
    } catch (e) { }
  }

  window.cpApp = {
    // Keeps the view and the log book for the next start; synchronous, so it is done
    // before the window goes.
    close: function () {
      report('close', { view: view }, true);
      keep('demo.view', view, true);
      keep('demo.notes', $('notes').value, true);
    }
  };

  window.addEventListener('load', function () {
    var map = $('map'), drag = null;
    map.addEventListener('mousedown', function (e) {
      if (e.button === 0) drag = { x: e.clientX, y: e.clientY };
    });
    window.addEventListener('mouseup', function () { drag = null; });
    window.addEventListener('mousemove', function (e) {
      if (!drag) return;
      var c = project(view.lat, view.lon, view.z);
      var p = unproject(c.x - (e.clientX - drag.x), c.y - (e.clientY - drag.y), view.z);
      view.lat = p.lat; view.lon = p.lon; drag = { x: e.clientX, y: e.clientY }; setFollow(false);
      redraw();
    });
    // The wheel zooms about the pointer, a level per notch (or per as much of a fine wheel).
    var wheel = 0;
    map.addEventListener('wheel', function (e) {
      e.preventDefault();
      wheel += e.deltaMode ? e.deltaY * 40 : e.deltaY;
      if (Math.abs(wheel) < 40) return;
      var r = map.getBoundingClientRect();
      zoom(wheel < 0 ? 1 : -1, { x: e.clientX - r.left, y: e.clientY - r.top });
      wheel = 0;
    }, { passive: false });
    $('zoomIn').onclick = function () { zoom(1); };
    $('zoomOut').onclick = function () { zoom(-1); };
    $('ship').onclick = function () { setFollow(!follow); };
    $('find').addEventListener('submit', function (e) {
      e.preventDefault();
      report('submit', { value: $('place').value });
      find($('place').value);
    });
    // The window keeps Enter from input fields, so no form is sent; its release comes through.
    $('place').addEventListener('keyup', function (e) {
      if (e.key === 'Enter') find($('place').value);
    });
    window.addEventListener('resize', redraw);

    // The view kept at the last close, then the chart.
    var saved = null;
    request('view', 'GET', '/getValue/demo.view', null, function (text) {
      var v = JSON.parse(text);
      if (v && v.z) { view = v; saved = v; }
    }, function () { openChart(saved); });
    // The serial input switch (and with it the playback file) as it was left.
    request('serial', 'GET', '/getValue/demo.serial', null, function (text) {
      if (text === '0' || text === '1') $('serial').value = text;
    });
    $('serial').addEventListener('change', function () {
      var x = new XMLHttpRequest();
      x.open('POST', '/setValue/demo.serial');
      x.send($('serial').value);
      serialHeld = $('serial').value === '1' && $('tcp').value === '1';
      serialNote();
    });
    // The demo's own NMEA-over-TCP source (scripts/run starts it): a sailing yacht under way.
    $('tcp').addEventListener('change', function () {
      var x = new XMLHttpRequest();
      x.open('GET', '/nemasock/127.0.0.1/10110/' + $('tcp').value);
      x.send();
      if ($('tcp').value !== '1' && serialHeld) { serialHeld = false; serialOff = true; }
      serialNote();
    });
    // The log book as it was left; kept a moment after each change, and at the close.
    request('notes', 'GET', '/getValue/demo.notes', null, function (text) {
      var v = JSON.parse(text);
      if (typeof v === 'string' && !$('notes').value) $('notes').value = v;
    });
    var notesTimer = 0;
    $('notes').addEventListener('input', function () {
      clearTimeout(notesTimer);
      notesTimer = setTimeout(function () { keep('demo.notes', $('notes').value); }, 1000);
    });

    redraw();
    pollHost();
    pollAis();
    setInterval(pollHost, 1000);
    setInterval(pollAis, 2000);

    if (window.DemoReport) {
      ['keydown', 'focusin', 'focusout', 'contextmenu', 'selectstart', 'dragstart', 'hashchange'].forEach(function (name) {
        window.addEventListener(name, function (e) {
          var t = e.target && e.target.nodeType === 3 ? e.target.parentElement : e.target;
          report(name, { key: e.key, tag: t && t.tagName, elem: t && t.id, prevented: e.defaultPrevented,
                         value: t && 'value' in t ? t.value : undefined, hash: location.hash });
        });
      });
      var ids = ['place', 'notes', 'serial', 'tcp', 'go', 'map', 'legend', 'legendOwn', 'reference', 'fullOn', 'fullOff', 'zoomIn'];
      var layout = {};
      ids.forEach(function (id) {
        var r = $(id).getBoundingClientRect();
        layout[id] = [Math.round(r.left + r.width / 2), Math.round(r.top + r.height / 2)];
        layout[id + 'Start'] = [Math.round(r.left + 3), Math.round(r.top + 7)];
      });
      report('load', { layout: layout, width: innerWidth, height: innerHeight });
      window.addEventListener('mouseup', function () { report('selection', { text: String(getSelection()) }); });
    }
  });
})();
