import json
import signal
import subprocess
import sys
import urllib.error
import urllib.request

import pytest

from tessary.services import judged
from tessary.services.judged import JudgeServer, judge_reply, numeric_rating, split_sections, verbal_verdict


def post(url, body, raw=False):
    data = body if raw else json.dumps(body).encode()
    request = urllib.request.Request(url, data=data, headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=5) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


@pytest.fixture(scope="module")
def server():
    with JudgeServer() as running:
        yield running


def prompt(sections, question):
    parts = ["Judge this."] + [f"[{name}]\n{text}" for name, text in sections.items()] + [question]
    return "\n\n".join(parts)


VERBAL = 'Reply with "Answer: yes", "Answer: partial" or "Answer: no".'
NUMERIC = 'Reply with "Rating: N", a whole number from 1 to 5.'


def test_sections_are_split_and_the_closing_instruction_is_left_out():
    text = prompt({"Question": "q?", "Contexts": "- c1\n- c2", "Answer": "line one\n\nline two"}, VERBAL)
    assert split_sections(text) == {"Question": "q?", "Contexts": "- c1\n- c2", "Answer": "line one\n\nline two"}


@pytest.mark.parametrize(
    "sections, instruction, expected",
    [
        # answer fully in contexts
        ({"Question": "q", "Contexts": "cats chase mice", "Answer": "Cats chase mice."}, VERBAL, "Answer: yes"),
        # half of the answer's words in contexts
        ({"Question": "q", "Contexts": "cats chase mice", "Answer": "cats eat fish mice"}, VERBAL, "Answer: partial"),
        ({"Question": "q", "Contexts": "cats chase mice", "Answer": "dogs bark"}, VERBAL, "Answer: no"),
        # question words found in contexts: 1 of 2 -> middle of 1..5
        ({"Question": "Where do penguins live?", "Contexts": "Penguins swim."}, NUMERIC, "Rating: 3"),
        ({"Question": "Who won?", "Answer": "Nobody won."}, NUMERIC, "Rating: 5"),
        # a reference answer switches to F1 against it
        ({"Question": "q", "Reference answer": "red apple", "Answer": "green pear"}, NUMERIC, "Rating: 1"),
    ],
)
def test_replies_follow_the_overlap_on_the_asked_scale(sections, instruction, expected):
    assert judge_reply(prompt(sections, instruction)).splitlines()[0] == expected


@pytest.mark.parametrize("text", ["Tell me a joke.", prompt({"Question": "q", "Answer": "a"}, "Say something.")])
def test_prompts_it_cannot_judge_get_a_refusal(text):
    assert judge_reply(text) == judged.REFUSAL


@pytest.mark.parametrize("overlap, verdict", [(1.0, "yes"), (0.75, "yes"), (0.74, "partial"), (0.4, "partial"), (0.39, "no")])
def test_verbal_thresholds(overlap, verdict):
    assert verbal_verdict(overlap) == verdict


@pytest.mark.parametrize("overlap, low, high, rating", [(0.0, 1, 5, 1), (1.0, 1, 5, 5), (0.5, 1, 5, 3), (0.5, 0, 10, 5)])
def test_numeric_ratings(overlap, low, high, rating):
    assert numeric_rating(overlap, low, high) == rating


def test_chat_completions_answer_in_the_openai_shape(server):
    text = prompt({"Question": "q", "Contexts": "cats chase mice", "Answer": "cats chase mice"}, VERBAL)
    status, body = post(
        server.base_url + "/chat/completions",
        {"model": "my-judge", "messages": [{"role": "system", "content": "Be fair."}, {"role": "user", "content": text}]},
    )
    assert status == 200
    assert body["model"] == "my-judge" and body["object"] == "chat.completion"
    assert body["choices"][0]["message"]["content"].startswith("Answer: yes")
    usage = body["usage"]
    assert usage["total_tokens"] == usage["prompt_tokens"] + usage["completion_tokens"] > 0


def test_text_generation_answers_in_the_service_shape(server):
    text = prompt({"Question": "Who won?", "Answer": "Nobody won."}, NUMERIC)
    status, body = post(server.root_url + "/ml/v1/text/generation?version=2023-05-29",
                        {"model_id": "m", "input": text, "project_id": "p"})
    assert status == 200 and body["results"][0]["generated_text"].startswith("Rating: 5")


@pytest.mark.parametrize(
    "path, body, raw, message",
    [
        ("/v1/chat/completions", b"{not json", True, "not valid JSON"),
        ("/v1/chat/completions", [1, 2], False, "JSON object"),
        ("/v1/chat/completions", {"messages": []}, False, "'messages'"),
        ("/v1/chat/completions", {"messages": [{"role": "user"}]}, False, "'messages'"),
        ("/ml/v1/text/generation", {"input": "x"}, False, "'project_id' or 'space_id'"),
        ("/ml/v1/text/generation", {"input": "", "project_id": "p"}, False, "'input'"),
    ],
)
def test_bad_requests_get_400_with_a_reason(server, path, body, raw, message):
    status, payload = post(server.root_url + path, body, raw=raw)
    assert status == 400 and message in payload["error"]["message"]


def test_server_refuses_non_loopback_hosts():
    with pytest.raises(ValueError, match="loopback only"):
        JudgeServer(host="0.0.0.0")


def test_server_start_stop_and_busy_port():
    first = JudgeServer()
    url = first.start()
    try:
        assert url == first.base_url and url.endswith("/v1")
        with pytest.raises(RuntimeError, match="already running"):
            first.start()
        with pytest.raises(RuntimeError, match="could not start"):
            JudgeServer(port=first.port).start()
    finally:
        first.stop()
    first.stop()  # stopping twice is harmless
    with pytest.raises(OSError):
        urllib.request.urlopen(first.root_url + "/health", timeout=2)


def test_console_script_prints_its_base_url_and_stops_on_sigterm():
    process = subprocess.Popen([sys.executable, "-m", "tessary.services.judged"], stdout=subprocess.PIPE, text=True)
    try:
        base_url = process.stdout.readline().strip()
        assert base_url.startswith("http://127.0.0.1:") and base_url.endswith("/v1")
        with urllib.request.urlopen(base_url + "/models", timeout=5) as response:
            assert json.loads(response.read())["data"][0]["id"] == judged.DEFAULT_MODEL
    finally:
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=10) == 0


def criteria_prompt(evaluated, context=None, options=(("Yes", "fully supported"), ("Partly", "partly"), ("No", "not supported"))):
    parts = ["### Criteria: grounded\nIs it supported?", "### Options\n" + "\n".join(f'- "{n}": {d}' for n, d in options)]
    if context is not None:
        parts.append(f"### Context\n#### context\n{context}")
    parts.append(f"### response to evaluate\n{evaluated}")
    names = ", ".join(f'"{n}"' for n, _ in options)
    parts.append(f'### Answer\nAnswer with one JSON object:\n"explanation": why;\n"selected_option": exactly one of {names};\n"feedback": how to improve.')
    return "\n\n".join(parts)


@pytest.mark.parametrize(
    "evaluated, context, chosen",
    [
        ("cats chase mice", "Cats chase mice all day.", "Yes"),
        ("cats chase dogs", "Cats chase mice all day.", "Partly"),  # 2 of 3 words -> middle option
        ("bananas are blue", "Cats chase mice all day.", "No"),
        ("it is not supported at all", None, "No"),  # no context: best description overlap
    ],
)
def test_criteria_prompts_get_one_option_as_json(evaluated, context, chosen):
    reply = json.loads(judge_reply(criteria_prompt(evaluated, context)))
    assert reply["selected_option"] == chosen
    assert reply["explanation"] and "feedback" in reply
