"""Risk-evaluation plug-in for foundation models.

``mra.evaluate_fm_risk.EvaluateFMRisk`` runs the shipped benchmark prompt sets
(``mra/data``, one JSON file per risk dimension) against a model, scores the
responses and writes an optional PDF report.
"""
