"""Local services that the package starts on loopback: detection and judge model."""
