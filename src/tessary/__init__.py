"""tessary: evaluate generative-AI applications.

Run detector, LLM-as-judge and criteria metrics over a table of records
(inputs, outputs, contexts, references, tool calls) and get one aggregated
result per metric, or evaluate the risks of a foundation model.
"""

__version__ = "0.1.0"
