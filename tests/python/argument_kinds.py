"""Python objects that stand for numbers only through one conversion protocol, for the tests of
the accepted and rejected argument kinds."""


class Index:
    """An integer only through the index protocol."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value

    def __repr__(self) -> str:
        return f"Index({self.value})"


class Real:
    """A number only through the float protocol."""

    def __init__(self, value: float) -> None:
        self.value = value

    def __float__(self) -> float:
        return self.value

    def __repr__(self) -> str:
        return f"Real({self.value!r})"


class FailingIndex:
    """An index whose conversion raises: the argument then simply fails to convert."""

    def __index__(self) -> int:
        raise RuntimeError("no index")

    def __repr__(self) -> str:
        return "FailingIndex()"


class FloatSubclass(float):
    """Rejected wherever a float is, as an integer argument."""
