// The scan page: a switcher over the scan's stitched parts and photos; each part is shown as
// a deep-zoom image (OpenSeadragon, with its navigator and a scale bar when the scan knows its
// µm per pixel) once the server has made its tiles, and as "Processing N %" until then, polling
// the scan's status. A view can be linked: #part=0&x=1200&y=800&z=1 centres image pixel
// (1200, 800) at zoom 1 (one image pixel per screen pixel).
(function () {
  'use strict';
  var data = JSON.parse(document.getElementById('scan-data').textContent);
  var view = document.getElementById('view');
  var switcher = document.getElementById('switcher');
  var current = null;   // {kind, index}
  var viewer = null;    // the OpenSeadragon viewer on screen
  var pollTimer = null;

  function hashParams() {
    var params = {};
    location.hash.replace(/^#/, '').split('&').forEach(function (pair) {
      var kv = pair.split('=');
      if (kv[0]) params[decodeURIComponent(kv[0])] = decodeURIComponent(kv[1] || '');
    });
    return params;
  }

  // The longest 1, 2 or 5 × 10^k micrometres that fits in maxUm.
  function niceLength(maxUm) {
    var power = Math.pow(10, Math.floor(Math.log10(maxUm)));
    var m = maxUm / power;
    return (m >= 5 ? 5 : m >= 2 ? 2 : 1) * power;
  }

  function lengthText(um) {
    if (um >= 1000) return Number((um / 1000).toPrecision(3)) + ' mm';
    return Number(um.toPrecision(3)) + ' µm';
  }

  function addScaleBar(osd, element, mpp) {
    var bar = document.createElement('div');
    bar.className = 'scale-bar';
    var text = document.createElement('span');
    text.className = 'scale-text';
    bar.appendChild(text);
    element.appendChild(bar);
    function update() {
      if (!osd.world.getItemCount()) return;
      // Screen pixels per image pixel at the current zoom.
      var zoom = osd.viewport.viewportToImageZoom(osd.viewport.getZoom(true));
      var um = niceLength(160 * mpp / zoom);
      bar.style.width = Math.round(um * zoom / mpp) + 'px';
      text.textContent = lengthText(um);
      bar.dataset.um = String(um);
    }
    osd.addHandler('open', update);
    osd.addHandler('animation', update);
    osd.addHandler('resize', update);
  }

  function closeViewer() {
    if (pollTimer) { clearTimeout(pollTimer); pollTimer = null; }
    if (viewer) { viewer.destroy(); viewer = null; }
    view.textContent = '';
  }

  function openPart(part, params) {
    var box = document.createElement('div');
    box.className = 'part';
    box.id = 'part-' + part.part;
    var facts = document.createElement('p');
    facts.className = 'part-facts';
    facts.textContent = part.width + ' × ' + part.height + ' pixels from ' + part.cells + ' cells' +
      (part.skipped_cells ? ' (' + part.skipped_cells + ' could not be read and are left white)' : '') +
      ' · ';
    var download = document.createElement('a');
    download.className = 'download';
    download.href = part.ome_tiff;
    download.textContent = 'Download OME-TIFF';
    facts.appendChild(download);
    var element = document.createElement('div');
    element.className = 'deep-zoom';
    element.id = 'viewer-' + part.part;
    box.appendChild(element);
    box.appendChild(facts);
    view.appendChild(box);
    viewer = OpenSeadragon({
      element: element,
      prefixUrl: '/viewer/images/',
      tileSources: part.dzi,
      showNavigator: true,
      navigatorPosition: 'TOP_RIGHT',
      navigatorAutoFade: false,
      maxZoomPixelRatio: 2,
      visibilityRatio: 0.5,
      crossOriginPolicy: false
    });
    var osd = viewer;
    if (part.mpp) addScaleBar(osd, element, part.mpp);
    osd.addHandler('open', function () {
      if (params.x !== undefined && params.y !== undefined) {
        var z = Number(params.z || 1);
        osd.viewport.zoomTo(osd.viewport.imageToViewportZoom(z), null, true);
        osd.viewport.panTo(osd.viewport.imageToViewportCoordinates(Number(params.x), Number(params.y)), true);
      }
      osd.world.getItemAt(0).addHandler('fully-loaded-change', function (event) {
        element.dataset.loaded = event.fullyLoaded ? '1' : '';
      });
      element.dataset.opened = '1';
    });
  }

  function showProcessing(part) {
    var box = document.createElement('div');
    box.id = 'part-' + part.part;
    if (part.state === 'failed') {
      box.className = 'processing failed';
      box.textContent = 'This part could not be made: ' + (part.error || 'unknown error');
    } else {
      box.className = 'processing';
      box.textContent = part.state === 'queued' && !part.progress ? 'Processing 0 %' :
        'Processing ' + part.progress + ' %';
    }
    box.dataset.state = part.state;
    view.appendChild(box);
  }

  function poll(index) {
    pollTimer = setTimeout(function () {
      fetch('/scans/' + data.scan_id + '/status', { cache: 'no-store' })
        .then(function (response) { return response.json(); })
        .then(function (status) {
          data = status;
          if (current && current.kind === 'part' && current.index === index) show(current, hashParams());
        })
        .catch(function () { poll(index); });
    }, 1000);
  }

  function show(item, params) {
    closeViewer();
    current = item;
    Array.prototype.forEach.call(switcher.children, function (button) {
      button.setAttribute('aria-pressed', String(button.dataset.kind === item.kind &&
                                                 Number(button.dataset.index) === item.index));
    });
    if (item.kind === 'photo') {
      var photo = document.createElement('div');
      photo.className = 'photo';
      var img = document.createElement('img');
      img.src = data.photos[item.index].url;
      img.alt = 'Photo ' + (item.index + 1);
      img.onload = function () { img.dataset.loaded = img.naturalWidth + 'x' + img.naturalHeight; };
      photo.appendChild(img);
      view.appendChild(photo);
      return;
    }
    var part = data.parts[item.index];
    if (part.state === 'ready') {
      openPart(part, params || {});
    } else {
      showProcessing(part);
      if (part.state !== 'failed') poll(item.index);
    }
  }

  function addButton(kind, index, label) {
    var button = document.createElement('button');
    button.type = 'button';
    button.dataset.kind = kind;
    button.dataset.index = String(index);
    button.textContent = label;
    button.addEventListener('click', function () {
      history.replaceState(null, '', '#' + kind + '=' + index);
      show({ kind: kind, index: index }, {});
    });
    switcher.appendChild(button);
  }

  data.parts.forEach(function (part, i) { addButton('part', i, 'Part ' + (i + 1)); });
  data.photos.forEach(function (photo, i) { addButton('photo', i, 'Photo ' + (i + 1)); });
  if (!data.parts.length && !data.photos.length) {
    view.textContent = 'This scan holds no images.';
    return;
  }
  var params = hashParams();
  if (params.photo !== undefined && data.photos[Number(params.photo)]) {
    show({ kind: 'photo', index: Number(params.photo) }, params);
  } else if (data.parts.length) {
    var n = Number(params.part || 0);
    show({ kind: 'part', index: data.parts[n] ? n : 0 }, params);
  } else {
    show({ kind: 'photo', index: 0 }, params);
  }
})();
