// Talks to the host through window.external. In an ordinary browser there
// is no host, so every call is guarded and the page says so.
(function () {
  "use strict";

  var host = window.external;

  function hasHost() {
    try {
      return !!host && host.appIsRuntime() === 1;
    } catch (e) {
      return false;
    }
  }

  function text(id, value) {
    document.getElementById(id).textContent = value;
  }

  function showParams() {
    var list = document.getElementById("params");
    var count = parseInt(host.appParamCount(), 10);
    for (var i = 0; i <= count; i++) {
      var item = document.createElement("li");
      item.textContent = host.appParamStr(i);
      list.appendChild(item);
    }
  }

  function start() {
    if (!hasHost()) {
      text("runtime-status", "No host here: this page runs in an ordinary browser.");
      return;
    }
    text("runtime-status", "Running inside the Folivant runtime.");
    text("greeting", host.SayHello());
    showParams();

    document.getElementById("hello-form").addEventListener("submit", function (event) {
      event.preventDefault();
      text("greeting", host.SayHello(document.getElementById("visitor").value));
    });
    document.getElementById("play-once").addEventListener("click", function () {
      host.appPlayWav("chime.wav");
    });
    document.getElementById("play-loop").addEventListener("click", function () {
      host.appPlayWav("chime.wav", true);
    });
    document.getElementById("stop").addEventListener("click", function () {
      host.appStopWav();
    });
  }

  if (document.readyState === "loading")
    document.addEventListener("DOMContentLoaded", start);
  else
    start();
})();
