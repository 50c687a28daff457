"""Reports of evaluation results: the HTML report, exports and comparisons of two runs."""
