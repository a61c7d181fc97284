"""cached_property without functools' lock.

Before Python 3.12, functools.cached_property takes one lock for every
instance of a class while it computes: a thread reading one series' mini
headers from a URL held up every other thread's series meanwhile, and
read_many's opens of a hundred URLs ran one after another. Here two threads
that ask at once both compute, and the first value stored is kept.
"""
from __future__ import annotations

from typing import Any, Callable, Generic, TypeVar, overload

__all__ = ["cached_property"]

T = TypeVar("T")


class cached_property(Generic[T]):  # noqa: N801 - named as the one it stands for
    def __init__(self, func: Callable[[Any], T]) -> None:
        self.func = func
        self.attrname = func.__name__
        self.__doc__ = func.__doc__

    def __set_name__(self, owner: type, name: str) -> None:
        self.attrname = name

    @overload
    def __get__(self, instance: None, owner: type | None = None) -> cached_property[T]: ...
    @overload
    def __get__(self, instance: object, owner: type | None = None) -> T: ...

    def __get__(self, instance: object, owner: type | None = None) -> T | cached_property[T]:
        if instance is None:
            return self
        cache = instance.__dict__
        try:
            return cache[self.attrname]  # type: ignore[no-any-return]
        except KeyError:
            pass
        return cache.setdefault(self.attrname, self.func(instance))  # type: ignore[no-any-return]
