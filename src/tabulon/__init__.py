"""tabulon: a small recipe library for evaluating retrieval-augmented answers.

Modules:

- ``tabulon.stream``: ``MultiStream``, named splits of records.
- ``tabulon.operator``: ``SequentialOperator``, applies metric steps to every split.
- ``tabulon.catalog``: resolves dotted names (``metrics.rag.faithfulness.token_recall``,
  ``templates.rag_eval...``, ``tasks.rag_eval...``) to objects.
- ``tabulon.metrics``: lexical, embedding and BERTScore metrics.
- ``tabulon.templates`` / ``tabulon.tasks`` / ``tabulon.formats``: judge prompts.
- ``tabulon.llm_as_judge``: ``TaskBasedLLMasJudge``.
- ``tabulon.inference``: HTTP inference engines with bounded concurrency,
  retries, time-outs, a response cache and token usage counts.
- ``tabulon.logging_utils``: ``set_verbosity`` over the library's logger.
"""

__version__ = "0.1.0"
