(function () {
  "use strict";
  // Charts: one histogram per metric; a chart that failed says so in its box.
  for (const figure of FIGURES) {
    const box = document.getElementById(figure.id);
    Plotly.newPlot(box, figure.data, figure.layout, { displaylogo: false, displayModeBar: false, responsive: true })
      .catch(function (error) { box.textContent = "Chart failed: " + error; });
  }

  // Sortable record table: numbers by value, missing values last in both directions.
  const table = document.getElementById("record-table");
  const body = table.tBodies[0];
  table.tHead.querySelectorAll("th").forEach(function (heading, column) {
    heading.addEventListener("click", function () {
      const ascending = !heading.classList.contains("asc");
      table.tHead.querySelectorAll("th").forEach(function (h) { h.classList.remove("asc", "desc"); });
      heading.classList.add(ascending ? "asc" : "desc");
      const numeric = heading.dataset.type === "num";
      const keyed = Array.from(body.rows, function (row) {
        const raw = row.cells[column].dataset.v;
        return { row: row, missing: raw === "", key: numeric ? parseFloat(raw) : raw };
      });
      keyed.sort(function (a, b) {
        if (a.missing || b.missing) return a.missing - b.missing;
        const order = numeric ? a.key - b.key : a.key.localeCompare(b.key);
        return ascending ? order : -order;
      });
      const fragment = document.createDocumentFragment();
      keyed.forEach(function (item) { fragment.appendChild(item.row); });
      body.appendChild(fragment);
    });
  });

  document.getElementById("only-flagged").addEventListener("change", function (event) {
    document.body.classList.toggle("only-flagged", event.target.checked);
  });
})();
