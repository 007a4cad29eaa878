import re


def to_regex(pattern):
    out = []
    i = 0
    n = len(pattern)
    while i < n:
        c = pattern[i]
        if c == "\\" and i + 1 < n:
            out.append(re.escape(pattern[i + 1]))
            i += 2
            continue
        if c == "*":
            out.append(".*")
        elif c == "?":
            out.append(".")
        elif c == "[":
            i += 1
            negate = i < n and pattern[i] == "^"
            if negate:
                i += 1
            members = []
            while i < n and pattern[i] != "]":
                if pattern[i] == "\\" and i + 1 < n:
                    members.append(re.escape(pattern[i + 1]))
                    i += 2
                elif i + 2 < n and pattern[i + 1] == "-" and pattern[i + 2] != "]":
                    lo, hi = sorted((pattern[i], pattern[i + 2]))
                    members.append(f"{re.escape(lo)}-{re.escape(hi)}")
                    i += 3
                else:
                    members.append(re.escape(pattern[i]))
                    i += 1
            body = "".join(members)
            out.append(f"[{'^' if negate else ''}{body}]" if body else ("." if negate else "(?!)"))
        else:
            out.append(re.escape(c))
        i += 1
    return "".join(out)


def matches(pattern, key):
    return re.fullmatch(to_regex(pattern), key, re.DOTALL) is not None
