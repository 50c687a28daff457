"""Entities shared by the configuration, the metrics and the evaluation results."""
