"""orvane_corvel_tallion."""
