"""Passages: where a text is cut, the line and offset each passage reports, odd inputs."""

import pytest

from quorvel.passages import MAX_CHARS, MAX_WORDS, MIN_WORDS, TARGET_WORDS, indexed_text, split_passages


def words(n, stem="w"):
    return " ".join(f"{stem}{i}" for i in range(n))


@pytest.mark.parametrize("text", ["", " ", "\n\n\r\n", " \t \n  \n"])
def test_blank_text_has_no_passage(text):
    assert split_passages(text) == []


@pytest.mark.parametrize("end", ["\n", "\r\n", "\r"])
def test_line_numbers_and_offsets_whatever_the_line_ends(end):
    big = words(TARGET_WORDS, "a")
    text = end.join(["Intro", "=====", "", big, "", "# Usage", words(TARGET_WORDS, "b"), "tail"])
    passages = split_passages(text)
    assert [p.line for p in passages] == [1, 6]
    for p in passages:
        first_line = p.text.split("\n", 1)[0]
        assert text[p.offset:p.offset + len(first_line)] == first_line
        assert "\r" not in p.text
    assert [p.heading for p in passages] == ["Intro", "Usage"]
    assert passages[1].text.endswith("tail")  # no trailing line end needed


def test_small_paragraphs_merge_and_every_word_is_kept_once():
    text = "\n\n".join(words(30, f"p{i}_") for i in range(20))
    passages = split_passages(text)
    assert all(len(p.text.split()) <= TARGET_WORDS for p in passages)
    assert len(passages) == -(-20 // (TARGET_WORDS // 30))  # as many 30-word paragraphs as fit
    assert " ".join(p.text for p in passages).split() == text.split()


def test_heading_closes_a_full_passage_but_a_stub_section_joins_the_next():
    stub = "Stub\n----\none line"
    full = "Full\n----\n" + words(MIN_WORDS + 5)
    passages = split_passages("\n\n".join([stub, "Next\n----\nbody", full, "# Last\nend"]))
    assert [p.heading for p in passages] == ["Stub", "Last"]
    assert passages[0].text.startswith("Stub") and "Full" in passages[0].text


@pytest.mark.parametrize("text, max_words", [
    (words(10_000), TARGET_WORDS),                               # one huge line of words
    ("\n".join(words(12) for _ in range(400)), TARGET_WORDS),    # one long paragraph of short lines
    ("x" * (3 * MAX_CHARS + 7), 1),                              # one huge word
])
def test_long_paragraphs_are_cut_within_the_limits(text, max_words):
    passages = split_passages(text)
    assert len(passages) > 1
    assert all(len(p.text) <= MAX_CHARS and len(p.text.split()) <= max_words for p in passages)
    assert "".join("".join(p.text.split()) for p in passages) == "".join(text.split())
    for p in passages:  # offsets point at each passage's own start
        assert text[p.offset:p.offset + 20] == p.text[:20]


def test_same_text_same_passages():
    text = "# A\n" + "\n\n".join(words(n) for n in (5, 250, 40, 400, 3))
    assert split_passages(text) == split_passages(text)
    assert max(len(p.text.split()) for p in split_passages(text)) <= MAX_WORDS


def test_no_heading_inside_a_fenced_block():
    body = words(MIN_WORDS + 5)
    text = f"# Setup\n{body}\n\n```sh\n# install it\nmake\n```\n\n~~~\n# not a title\n~~~\n\n# Use\n{body}"
    assert [p.heading for p in split_passages(text)] == ["Setup", "Use"]


def test_indexed_text_carries_the_name_and_section():
    passage = split_passages("Usage\n=====\n\nrun it")[0]
    text = indexed_text("docs/add_custom-command.rst", passage)
    assert text.splitlines()[:2] == ["docs add custom command rst", "Usage"]
    assert text.endswith("run it")
