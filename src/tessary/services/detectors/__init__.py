"""The detectors of the local detection service, each a real lexical or pattern classifier.

`registry.run_detectors(endpoint, body)` checks a request body for one of the
four endpoints ("detection", "generated", "context", "chat") and returns the
detections of every detector it names; bad input raises
`errors.BadDetectionRequest`.  See `registry` for the endpoint table and each
detector module for what it matches and how it scores.
"""
