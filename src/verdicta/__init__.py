"""verdicta."""
