"""`python -m tessary`: the `tessary` command."""

from tessary.cli import main

raise SystemExit(main())
