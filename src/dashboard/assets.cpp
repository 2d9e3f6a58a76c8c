#include "dashboard/assets.hpp"

#include <array>

namespace vosk::dashboard {
namespace {

constexpr std::string_view kStyle = R"css(
:root { color-scheme: light dark; --accent: #1d5fbf; --on: #1b7a3a; --off: #b3261e; }
body { font: 16px/1.45 system-ui, sans-serif; margin: 0; }
header { display: flex; flex-wrap: wrap; gap: 1em; align-items: center; padding: .6em 1em; border-bottom: 1px solid #8884; }
nav { display: flex; gap: 1em; align-items: center; margin-left: auto; }
nav form { display: inline; }
nav a[aria-current] { font-weight: bold; text-decoration: none; }
main { max-width: 46em; margin: 0 auto; padding: 0 1em 2em; }
section { margin: 1.2em 0; }
.state { border-left: .5em solid; padding-left: 1em; }
.state.on { border-color: var(--on); }
.state.off { border-color: var(--off); }
.big { font-size: 1.4em; margin: .2em 0; }
form.action { display: flex; flex-wrap: wrap; gap: .5em; align-items: center; margin: .5em 0; }
form.inline { display: inline; }
.site h2 button { font-size: 1rem; font-weight: normal; }
.site ul { list-style: none; padding-left: 0; }
.site li { display: flex; flex-wrap: wrap; gap: .5em; align-items: center; overflow-wrap: anywhere; margin: .2em 0; }
form.login { display: flex; flex-direction: column; gap: .6em; max-width: 20em; }
button { white-space: nowrap; font: inherit; padding: .35em .9em; border: 2px solid var(--accent); border-radius: .3em; background: none; color: inherit; cursor: pointer; }
button:focus-visible, a:focus-visible, input:focus-visible, select:focus-visible { outline: 3px solid var(--accent); outline-offset: 2px; }
input, select { font: inherit; }
.notice { flex-basis: 100%; margin: .2em 0; padding: .3em .6em; border: 1px dashed; }
.chart { width: 100%; height: 8em; }
.chart rect { fill: var(--accent); }
.chart .axis { stroke: currentColor; stroke-width: 2; }
.grid { overflow-x: auto; }
.grid table { border-collapse: collapse; font-size: .8em; }
.grid td, .grid th { padding: .1em .25em; text-align: center; }
.grid td.on { background: var(--accent); color: #fff; }
table { border-collapse: collapse; }
td, th { padding: .2em .6em; text-align: left; overflow-wrap: anywhere; }
pre { padding: .6em; border: 1px solid #8884; overflow-x: auto; }
)css";

// Keeps a custom duration's field out of the way until "custom" is chosen;
// without script it is simply always there.
constexpr std::string_view kScript = R"js(
"use strict";
for (const select of document.querySelectorAll("form.action select")) {
  const field = select.form.querySelector("input[name=custom]");
  const label = field && field.closest("label");
  if (!label) continue;
  const update = () => { label.hidden = select.value !== "custom"; };
  select.addEventListener("change", update);
  update();
}
)js";

constexpr std::array<Asset, 2> kAssets{{
    {"/assets/style.css", kStyle, "text/css; charset=utf-8"},
    {"/assets/dashboard.js", kScript, "text/javascript; charset=utf-8"},
}};

}  // namespace

std::span<const Asset> assets() { return kAssets; }

}  // namespace vosk::dashboard
