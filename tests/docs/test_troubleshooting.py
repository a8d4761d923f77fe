"""docs/troubleshooting.md explains every record the stub writes and every box
it shows: each text of a record (the literal pieces of each LOG statement in
src/, and of the functions whose result a LOG statement writes) and each box
text must appear in the guide. A failure lists the texts to add."""
import os
import re
import unittest
from pathlib import Path

SOURCE = Path(os.environ.get('STUB_SOURCE_DIR', Path(__file__).resolve().parents[2]))
GUIDE = SOURCE / 'docs' / 'troubleshooting.md'
# Helpers that put a value into a record; their own texts are no record's.
NOT_RECORD_BUILDERS = {'Quoted', 'LogText', 'static_cast', 'std', 'Hex', 'to_string', 'error', 'c_str', 'get',
                       'DllName'}


def tokens(text):
    """(kind, value, position) of the string literals, identifiers and
    punctuation of C++ text, comments left out."""
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == '#' and (i == 0 or text[i - 1] == '\n'):
            i = text.find('\n', i)  # a preprocessor line: its file names are no texts
            i = n if i < 0 else i
        elif text.startswith('//', i):
            i = text.find('\n', i)
            i = n if i < 0 else i
        elif text.startswith('/*', i):
            i = text.find('*/', i + 2) + 2
            i = n if i < 2 else i
        elif c == '"' or (c in 'LuU' and text.startswith('"', i + 1)) or text.startswith('u8"', i):
            start = i
            i = text.index('"', i) + 1
            value = []
            while text[i] != '"':
                if text[i] == '\\':
                    escaped = text[i + 1]
                    value.append({'n': '\n', 't': '\t', 'r': '\r'}.get(escaped, escaped))
                    i += 2
                else:
                    value.append(text[i])
                    i += 1
            i += 1
            yield 'string', ''.join(value), start
        elif c == "'":
            end = i + 1
            while text[end] != "'":
                end += 2 if text[end] == '\\' else 1
            i = end + 1
        elif c.isalpha() or c == '_':
            match = re.compile(r'[A-Za-z_]\w*').match(text, i)
            yield 'name', match.group(0), i
            i = match.end()
        elif c.isspace():
            i += 1
        else:
            yield 'punct', c, i
            i += 1


def joined(literals):
    """Adjacent string literals are one text."""
    texts, previous = [], None
    for kind, value, _ in literals:
        if kind == 'string' and previous == 'string':
            texts[-1] += value
        elif kind == 'string':
            texts.append(value)
        previous = kind
    return texts


def statements(file_tokens, start_name):
    """The token lists of each statement that begins with start_name followed by '('."""
    for index, (kind, value, _) in enumerate(file_tokens):
        if kind == 'name' and value == start_name and index + 1 < len(file_tokens) and file_tokens[index + 1][1] == '(':
            end = index
            while end < len(file_tokens) and file_tokens[end][1] != ';':
                end += 1
            yield file_tokens[index:end]


def function_body(file_tokens, name):
    """The tokens of the definition of a function returning std::string."""
    for index in range(len(file_tokens) - 3):
        if file_tokens[index][1] == 'string' and file_tokens[index + 1][1] == name and \
                file_tokens[index + 2][1] == '(':
            open_at = index + 2
            while open_at < len(file_tokens) and file_tokens[open_at][1] not in ('{', ';'):
                open_at += 1
            if open_at >= len(file_tokens) or file_tokens[open_at][1] == ';':
                continue
            depth, end = 0, open_at
            for end in range(open_at, len(file_tokens)):
                depth += {'{': 1, '}': -1}.get(file_tokens[end][1], 0) if file_tokens[end][0] == 'punct' else 0
                if depth == 0:
                    break
            return file_tokens[open_at:end + 1]
    return None


def meaningful(text):
    """The part of a piece that a reader would look up: at least three letters."""
    stripped = text.strip(' .,:;()"\n')
    return stripped if len(re.findall(r'[A-Za-z]', stripped)) >= 3 else None


def box_texts():
    """(file, text) of the box's title and texts in the string table's
    English, the table every other language translates."""
    table = SOURCE / 'resources' / 'strings.rc'
    english = table.read_text(encoding='utf-8').split('LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US', 1)[1]
    english = english.split('\nEND', 1)[0]
    return [(table, text) for text in re.findall(r'^\s*IDS_(?:BOX_TITLE|ERROR_\w+)\s+"(.*)"\s*$', english, re.M)]


def required_texts():
    """(file, text) of every record text in src/ and box text of the string table."""
    files = {path: list(tokens(path.read_text(encoding='utf-8')))
             for path in sorted((SOURCE / 'src').rglob('*')) if path.suffix in ('.cpp', '.h')}
    required, builders = [], set()
    for path, file_tokens in files.items():
        if path.name == 'log_setup.h':
            continue  # it defines LOG's helpers and shows LOG in a comment only
        for statement in statements(file_tokens, 'LOG'):
            body = statement[4:]  # after LOG ( LEVEL )
            required += [(path, text) for text in joined(body)]
            names = [(i, value) for i, (kind, value, _) in enumerate(body) if kind == 'name']
            builders |= {value for i, value in names
                         if i + 1 < len(body) and body[i + 1][1] == '(' and value not in NOT_RECORD_BUILDERS}
            # "LOG(ERROR) << record;": the record is what its assignment made.
            if len(body) == 2 and body[1][0] == 'name':
                variable = body[1][1]
                for i in range(len(file_tokens) - 3):
                    if file_tokens[i][1] == variable and file_tokens[i + 1][1] == '=' and \
                            file_tokens[i + 2][0] == 'name':
                        builders.add(file_tokens[i + 2][1])
    for name in sorted(builders):
        for path, file_tokens in files.items():
            body = function_body(file_tokens, name)
            if body is not None:
                required += [(path, text) for text in joined(body)]
    required += box_texts()
    seen, result = set(), []
    for path, text in required:
        piece = meaningful(text)
        if piece and piece not in seen:
            seen.add(piece)
            result.append((path.relative_to(SOURCE), piece))
    return result


def normalised(text):
    return ' '.join(text.split())


class TroubleshootingGuideTest(unittest.TestCase):
    def test_the_guide_holds_every_record_and_box_text(self):
        required = required_texts()
        # The scan must find the records it is there for.
        found = {text for _, text in required}
        for known in ('Can\'t download config file', 'Mismatch of the wrapper checksum',
                      'The installer is signed by', 'Cannot obtain configuration. Error code 1',
                      'Unable to load', 'does not chain to a trusted root'):
            self.assertIn(known, found)
        guide = normalised(GUIDE.read_text(encoding='utf-8'))
        missing = [(path, text) for path, text in required if normalised(text) not in guide]
        if missing:
            self.fail('docs/troubleshooting.md lacks these texts of the stub; add each with what it means and '
                      'what to do:\n' + '\n'.join(f'  {path}: "{text}"' for path, text in missing))


if __name__ == '__main__':
    unittest.main()
