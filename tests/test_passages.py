"""Passages: where a text is cut, the line and offset each passage reports, odd inputs."""

import pytest

from quorvel.passages import (LEAD_MAX_WORDS, MAX_CHARS, MAX_WORDS, MIN_WORDS, TARGET_WORDS, indexed_lead,
                              indexed_passages, indexed_text, lead_sentence, split_passages)


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


@pytest.mark.parametrize("text, sentence, line, heading", [
    # reST: title and underline, a directive with its body, then the sentence
    ("add_thing\n---------\n\n.. versionadded:: 3.1\n  Added it.\n\nAdd a thing to a target. More here.\n",
     "Add a thing to a target.", 7, "add_thing"),
    # a source file: a licence notice and a documentation comment, markers dropped
    ("/*\n * Copyright 2020 Someone. Licensed under the MIT license.\n */\n\n/**\n"
     " * Finds the foo library: headers and libraries\n * of the system.\n */\nint foo;\n",
     "Finds the foo library:", 5, ""),
    # Markdown: a heading, a fenced block whose lines look like prose, then indented code, then prose
    ("# Tool\n\n```\nthis is not the lead sentence at all\n```\n\n    indented code is not prose either\n\n"
     "Tool copies files between hosts! It is fast.\n", "Tool copies files between hosts!", 9, "Tool"),
    # too short, mostly punctuation, then one that ends with the paragraph
    ("Short one.\n\n== -- :: !! ?? ++ ** ## %% a b c d\n\nno end mark in\nthis paragraph\n",
     "no end mark in this paragraph", 5, ""),
])
def test_lead_sentence(text, sentence, line, heading):
    lead = lead_sentence(text)
    assert lead is not None and (lead.text, lead.line, lead.heading) == (sentence, line, heading)
    assert text.splitlines()[line - 1] == text[lead.offset:].splitlines()[0]


@pytest.mark.parametrize("text", ["", "Title\n=====\n", "x = 1\n\n    indented block of code here\n",
                                  "# SPDX-License-Identifier: MIT, all of it free\n"])
def test_no_lead_sentence(text):
    assert lead_sentence(text) is None


def test_lead_sentence_is_cut_and_indexed_with_the_short_name():
    lead = lead_sentence("word " * (3 * LEAD_MAX_WORDS) + ".")
    assert lead is not None and len(lead.text.split()) == LEAD_MAX_WORDS
    assert indexed_lead("Help/prop_tgt/OUTPUT_NAME.rst", lead).splitlines() == ["OUTPUT NAME", lead.text]
    assert indexed_lead("notes/.profile", lead).splitlines()[0] == "profile"


def test_a_document_of_several_passages_is_led_by_its_lead_sentence():
    long = "Title\n=====\n\nThe tool copies files. " + "word " * TARGET_WORDS + "\n\n" + "more " * TARGET_WORDS
    parts = indexed_passages("docs/tool.md", long)
    assert len(parts) == 3 and parts[0] == ("tool\nThe tool copies files.", lead_sentence(long))
    assert [p for _, p in parts[1:]] == split_passages(long)
    short = "The tool copies files. It is fast."
    assert [p for _, p in indexed_passages("t.md", short)] == split_passages(short)  # its own lead
    assert indexed_passages("t.md", " ") == []
