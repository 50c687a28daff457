"""verdicta: criteria judges for generated text.

A `verdicta.judges.Criteria` asks one question about one field of an instance
and lists the scored options a judge may answer with; a
`verdicta.judges.DirectJudge` has a language model pick one option per
instance through an inference engine (see `verdicta.inference`), and returns
the option, its score, an explanation, optional feedback and the raw exchange.

Judge prompts end with an "### Answer" section asking for one JSON object with
the keys "explanation", "selected_option" and, when feedback is wanted,
"feedback"; the options are listed as `- "name": description` lines under
"### Options" (criteria prompts) or named in that answer instruction.
"""
