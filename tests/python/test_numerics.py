"""The engine's numerical library against NumPy, on random inputs."""

import pytest

import veldra
import veldra.engine

np = pytest.importorskip("numpy")
rng = np.random.default_rng(20261208)


def to_np(v):
    if isinstance(v, (float, int, bool, complex)):
        return np.array(v).reshape(1, 1)
    if v.is_complex:
        flat = np.array(v._real) + 1j * np.array(v._imag)
    else:
        flat = np.array(v._data)
    return flat.reshape(v.size, order="F")


def arr(x, cls=veldra.double):
    x = np.asarray(x)
    if x.ndim == 0:
        return x.item()
    return cls(x.tolist())


def close(got, want, rtol=1e-10, atol=1e-12):
    got = to_np(got)
    assert got.shape == np.shape(want) or got.size == np.size(want) == 1, (got.shape, np.shape(want))
    np.testing.assert_allclose(got.reshape(np.shape(want)), want, rtol=rtol, atol=atol)


SHAPES = [((3, 4), (3, 4)), ((3, 4), (1, 4)), ((3, 1), (1, 4)), ((1, 1), (2, 3)), ((2, 3), ())]


@pytest.mark.parametrize(
    "fn, op",
    [("add", np.add), ("subtract", np.subtract), ("multiply", np.multiply), ("divide", np.divide), ("power", np.power)],
)
@pytest.mark.parametrize("sa, sb", SHAPES)
def test_binary_with_expansion(call, fn, op, sa, sb):
    a = rng.uniform(0.5, 2.0, sa)
    b = rng.uniform(0.5, 2.0, sb) if sb else 1.5
    close(call(fn, arr(a), arr(b)), op(a, b))


@pytest.mark.parametrize(
    "fn, op",
    [
        ("sqrt", np.sqrt),
        ("exp", np.exp),
        ("log", np.log),
        ("log10", np.log10),
        ("sin", np.sin),
        ("cos", np.cos),
        ("tan", np.tan),
        ("abs", np.abs),
        ("floor", np.floor),
        ("ceil", np.ceil),
        ("negate", np.negative),
    ],
)
def test_unary(call, fn, op):
    x = rng.uniform(0.1, 10.0, (4, 5))
    close(call(fn, arr(x)), op(x))


def test_round_is_half_away_from_zero(call):
    x = np.array([[-2.5, -1.5, -0.5, 0.5, 1.5, 2.5, 2.4]])
    close(call("round", arr(x)), np.sign(x) * np.floor(np.abs(x) + 0.5))


@pytest.mark.parametrize("fn, value, expected", [("sqrt", -4.0, 2j), ("log", -1.0, np.log(-1 + 0j))])
def test_results_become_complex_when_needed(call, fn, value, expected):
    assert call(fn, value) == pytest.approx(expected)


@pytest.mark.parametrize(
    "fn, op",
    [
        ("eq", np.equal),
        ("ne", np.not_equal),
        ("lt", np.less),
        ("le", np.less_equal),
        ("gt", np.greater),
        ("ge", np.greater_equal),
    ],
)
def test_comparisons(call, fn, op):
    a = rng.integers(0, 3, (3, 4)).astype(float)
    b = rng.integers(0, 3, (1, 4)).astype(float)
    got = call(fn, arr(a), arr(b))
    assert type(got) is veldra.logical
    assert (to_np(got).astype(bool) == op(a, b)).all()


@pytest.mark.parametrize(
    "fn, a, b, cls, expected",
    [
        ("add", veldra.int8([[100, 100]]), veldra.int8([[100, 1]]), "int8", [127, 101]),
        ("subtract", veldra.uint8([[3, 20]]), 10.0, "uint8", [0, 10]),
        ("multiply", veldra.int16([[-300, 2]]), 200.0, "int16", [-32768, 400]),
        ("add", veldra.int32([[7, -7]]), 0.5, "int32", [8, -7]),
        ("add", veldra.single([[1.5, 2.0]]), 2.25, "single", [3.75, 4.25]),
    ],
)
def test_class_rules(call, fn, a, b, cls, expected):
    result = call(fn, a, b)
    assert type(result) is getattr(veldra, cls)
    assert to_np(result).ravel().tolist() == expected


@pytest.mark.parametrize("fn", ["sum", "prod", "mean", "min", "max", "cumsum", "any", "all"])
@pytest.mark.parametrize("dim", [None, 1, 2])
def test_reductions(call, fn, dim):
    x = rng.uniform(-1, 1, (3, 4)).round(1)
    args = (arr(x),) if dim is None else (arr(x), float(dim))
    axis = 0 if dim in (None, 1) else 1
    want = {
        "sum": np.sum,
        "prod": np.prod,
        "mean": np.mean,
        "min": np.min,
        "max": np.max,
        "any": np.any,
        "all": np.all,
    }.get(fn)
    if fn == "cumsum":
        expected = np.cumsum(x, axis=axis)
    else:
        expected = np.expand_dims(want(x, axis=axis), axis)
    close(call(fn, *args), expected.astype(float))


def test_max_gives_its_index(call):
    x = rng.uniform(-1, 1, (3, 4))
    values, index = call("max", arr(x), nout=2)
    close(values, x.max(axis=0, keepdims=True))
    close(index, x.argmax(axis=0)[None, :] + 1.0)


def test_constructors_and_shape(call):
    close(call("zeros", 2.0, 3.0), np.zeros((2, 3)))
    close(call("ones", 3.0, 2.0), np.ones((3, 2)))
    close(call("eye", 3.0), np.eye(3))
    close(call("linspace", 0.0, 1.0, 5.0), np.linspace(0, 1, 5)[None, :])
    x = rng.uniform(size=(3, 4))
    close(call("transpose", arr(x)), x.T)
    close(call("hcat", arr(x), arr(x)), np.hstack([x, x]))
    close(call("vcat", arr(x), arr(x)), np.vstack([x, x]))
    v = np.array([[3.0, 1.0, 2.0, 1.0]])
    values, order = call("sort", arr(v), nout=2)
    close(values, np.sort(v))
    close(order, (np.argsort(v, kind="stable") + 1.0))
    close(call("unique", arr(v)), np.unique(v)[None, :])
    close(call("find", arr(np.array([[0.0, 2.0, 0.0, 5.0]]))), np.array([[2.0, 4.0]]))
    first = call("random", 2.0, 3.0, 7.0)
    assert to_np(first).shape == (2, 3) and (to_np(first) == to_np(call("random", 2.0, 3.0, 7.0))).all()


@pytest.mark.parametrize("n", [1, 3, 8])
def test_linear_algebra(call, n):
    a = rng.normal(size=(n, n)) + n * np.eye(n)
    b = rng.normal(size=(n, 2))
    close(call("matmul", arr(a), arr(b)), a @ b, rtol=1e-9)
    close(call("solve", arr(a), arr(b)), np.linalg.solve(a, b), rtol=1e-8, atol=1e-10)
    close(call("inv", arr(a)), np.linalg.inv(a), rtol=1e-8, atol=1e-10)
    assert call("det", arr(a)) == pytest.approx(np.linalg.det(a), rel=1e-8)
    assert call("rank", arr(a)) == n
    spd = a @ a.T + np.eye(n)
    r = to_np(call("chol", arr(spd)))
    assert np.allclose(r.conj().T @ r, spd) or np.allclose(r @ r.conj().T, spd)
    q, rr = (to_np(m) for m in call("qr", arr(a), nout=2))
    assert np.allclose(q @ rr, a)
    s = to_np(call("svd", arr(a))).ravel()
    assert np.allclose(np.sort(s), np.sort(np.linalg.svd(a, compute_uv=False)))
    ev = to_np(call("eig", arr(spd))).ravel()
    assert np.allclose(np.sort(ev.real), np.sort(np.linalg.eigvalsh(spd)))


def test_least_squares(call):
    a = rng.normal(size=(6, 3))
    b = rng.normal(size=(6, 1))
    close(call("solve", arr(a), arr(b)), np.linalg.lstsq(a, b, rcond=None)[0], rtol=1e-8, atol=1e-10)


def test_fft_round_trip(call):
    x = rng.normal(size=(16, 1))
    spectrum = call("fft", arr(x))
    close(spectrum, np.fft.fft(x, axis=0), rtol=1e-9, atol=1e-9)
    back = call("ifft", spectrum)
    close(back, x.astype(complex), rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize(
    "fn, args, expected",
    [
        ("upper", ("abc \u00e9",), "ABC \u00c9"),
        ("lower", ("ABC",), "abc"),
        ("strip", ("  x y  ",), "x y"),
        ("split", ("a,b,,c", ","), ["a", "b", "", "c"]),
        ("join", (["a", "b", "c"], "-"), "a-b-c"),
        ("to_number", ("2.5",), 2.5),
    ],
)
def test_text(call, fn, args, expected):
    assert call(fn, *args) == expected


@pytest.mark.parametrize(
    "fn, args",
    [
        ("matmul", (veldra.double(size=(2, 3)), veldra.double(size=(2, 3)))),
        ("inv", (veldra.double([[1, 2], [2, 4]]),)),
        ("add", (veldra.int8([[1]]), veldra.int16([[1]]))),
        ("add", (veldra.double(size=(2, 3)), veldra.double(size=(3, 2)))),
        ("sqrt", ("text", "extra")),
        ("chol", (veldra.double([[1, 2], [2, 1]]),)),
    ],
)
def test_wrong_input_is_an_execution_error(call, fn, args):
    with pytest.raises(veldra.engine.VeldraExecutionError) as e:
        call(fn, *args)
    assert str(e.value)
