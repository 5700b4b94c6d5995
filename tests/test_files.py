"""Metadata of indexed files: the built-in keys and Markdown front matter."""

import os

import pytest

from quorvel.files import file_metadata, front_matter

TAIL = "\n# Title\nBody text.\n"


@pytest.mark.parametrize("head, metadata, warnings", [
    ("---\ntitle: Notes\ntags: [db, backup]\nyear: 2024\ndraft: false\n---",
     {"title": "Notes", "tags": ["db", "backup"], "year": 2024, "draft": False}, []),
    ("---\ndate: 2024-01-05\nwhen: 2024-01-05 10:30:00\nempty:\n...",
     {"date": "2024-01-05", "when": "2024-01-05T10:30:00"}, []),
    ("---\r\nlang: en\r\n---", {"lang": "en"}, []),
    ("\ufeff---\nlang: en\n---", {"lang": "en"}, []),
    ("---\n---", {}, []),
    ("no front matter\n---\nlang: en\n---", {}, []),
    ("---\nlang: en\n", {}, []),                              # never closed: not front matter
    ("---\ntitle: [unclosed\n---", {},
     ["front matter is not valid YAML (line 3): expected ',' or ']', but got '<stream end>'; "
      "indexed without it"]),
    ("---\ntitle: a\n  b: c\n---", {},
     ["front matter is not valid YAML (line 3): mapping values are not allowed here; "
      "indexed without it"]),
    ("---\n- a\n- b\n---", {}, ["front matter is a list, not a mapping; indexed without it"]),
    ("---\nlang: en\nauthor: {name: A}\nscore: .nan\n2020: yes\n---", {"lang": "en", "2020": True},
     ["front matter entry left out: metadata 'author': expected a str, int, float or bool or a "
      "list of those, got dict",
      "front matter entry left out: metadata 'score': numbers must be finite, got nan"]),
    ("---\n!!python/object:os.system {}\n---", {},
     ["front matter is not valid YAML (line 2): could not determine a constructor for the tag "
      "'tag:yaml.org,2002:python/object:os.system'; indexed without it"]),
])
def test_front_matter(head, metadata, warnings):
    assert front_matter(head + TAIL) == (metadata, warnings)


def test_file_metadata_has_the_built_in_keys_over_front_matter(tmp_path):
    md = tmp_path / "Note.MD"
    md.write_text("---\nsize: huge\nlang: en\n---\ntext\n")
    os.utime(md, (1_700_000_000, 1_700_000_000.5))
    meta, warnings = file_metadata(md, md.read_text(), md.stat())
    assert meta == {"lang": "en", "path": md.as_posix(), "extension": ".md",
                    "modified": 1_700_000_000.5, "size": 33}
    txt = tmp_path / "plain.txt"
    txt.write_text("---\nlang: en\n---\n")
    assert "lang" not in file_metadata(txt, txt.read_text(), txt.stat())[0]
