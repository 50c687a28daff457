"""orvane_lumeris_ai."""
