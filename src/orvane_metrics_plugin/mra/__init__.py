"""Model risk assessment: benchmarks, scoring, model access and the PDF report."""
