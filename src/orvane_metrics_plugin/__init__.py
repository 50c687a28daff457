"""orvane_metrics_plugin."""
