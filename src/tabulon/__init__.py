"""tabulon."""
