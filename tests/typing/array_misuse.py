"""Mistakes the varnelle_np stubs must catch. Each line that must be rejected
ends with the error codes mypy and pyright give it; nothing else may be
reported. Where no overload accepts a call because of one argument's type,
pyright reports both the call and that argument."""

import numpy as np
import varnelle_np as vnp

spots = np.linspace(80.0, 120.0, 5)
g = vnp.bs_greeks(spots, 100.0, 1.0, 0.05, 0.2)
texts = np.array(["100", "110"]).astype(np.str_)

vnp.bs_price(spots, 100.0, 1.0, 0.05, 0.2, option_type=1)  # expect: mypy[call-overload] pyright[reportCallIssue] pyright[reportArgumentType]
vnp.am_price(100.0, 100.0, 1.0, 0.05, 0.2, option_type=None)  # expect: mypy[call-overload] pyright[reportCallIssue] pyright[reportArgumentType]
vnp.am_delta(spots, 100.0, 1.0, 0.05, 0.2, workers="2")  # expect: mypy[call-overload] pyright[reportCallIssue] pyright[reportArgumentType]
vnp.bs_gamma(spots, 100.0, 1.0, 0.05, 0.2, option_type="put")  # expect: mypy[call-overload] pyright[reportCallIssue]
vnp.bs_vega(100.0, 100.0, 1.0, 0.05, 0.2, 0.0, "call")  # expect: mypy[call-overload] pyright[reportCallIssue]
vnp.am_price(spots, 100.0, 1.0, 0.05)  # expect: mypy[call-overload] pyright[reportCallIssue]
vnp.bs_delta(spots, 100.0, 1.0, 0.05, 0.2, volatility=0.2)  # expect: mypy[call-overload] pyright[reportCallIssue]
vnp.bs_delta(spots, 100.0, 1.0, 0.05, 0.2, "put")  # expect: mypy[arg-type] pyright[reportCallIssue] pyright[reportArgumentType]
vnp.am_rho(spots, 100.0, 1.0, 0.05, 0.2, out=[0.0] * 5)  # expect: mypy[call-overload] pyright[reportCallIssue] pyright[reportArgumentType]
vnp.am_greeks(spots, 100.0, 1.0, 0.05, 0.2, out=np.empty(5))  # expect: mypy[call-overload] pyright[reportCallIssue] pyright[reportArgumentType]
vnp.bs_delta("100", 100.0, 1.0, 0.05, 0.2)  # expect: mypy[arg-type] pyright[reportCallIssue] pyright[reportArgumentType]
vnp.bs_delta(["100", "110"], 100.0, 1.0, 0.05, 0.2)  # expect: mypy[arg-type] pyright[reportCallIssue] pyright[reportArgumentType]
vnp.bs_delta(texts, 100.0, 1.0, 0.05, 0.2)  # expect: mypy[arg-type] pyright[reportCallIssue] pyright[reportArgumentType]
vnp.bs_implied_vol(10.45, 100.0, 1.0, 0.05, sigma=0.2)  # expect: mypy[call-overload] pyright[reportCallIssue]
price: float = vnp.am_price(spots, 100.0, 1.0, 0.05, 0.2)  # expect: mypy[assignment] pyright[reportAssignmentType]
scalar: np.ndarray = vnp.bs_price(100.0, 100.0, 1.0, 0.05, 0.2)  # expect: mypy[assignment] pyright[reportAssignmentType]
g.price  # expect: mypy[attr-defined] pyright[reportAttributeAccessIssue]
g.delta = spots  # expect: mypy[misc] pyright[reportAttributeAccessIssue]
vnp.ufuncs.bs_put  # expect: mypy[attr-defined] pyright[reportAttributeAccessIssue]
vnp.bs_price(spots, 100.0, 1.0, 0.05, 0.2, dividends=[0.5])  # expect: mypy[call-overload] pyright[reportCallIssue] pyright[reportArgumentType]
