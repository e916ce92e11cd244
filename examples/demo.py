"""A short end-to-end run of qel in a throwaway vault.

    python examples/demo.py                 # broadcast goes to a local stand-in endpoint
    python examples/demo.py --rpc-url URL   # really send the signed transaction to URL
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile

import qel

# An unsigned EIP-1559 transaction (chain id 1, nonce 0, 1 gwei tips, 21000 gas,
# 0.001 ETH to 0x3535...35, no data, empty access list).
UNSIGNED_1559 = (
    "02ee0180843b9aca00843b9aca0082520894353535353535353535353535353535353535353587"
    "038d7ea4c6800080c0"
)

FAMILIES = ["ethereum", "solana", "bitcoin", "cosmos", "tron", "ton"]


# A stand-in JSON-RPC endpoint in a child process (the library holds the
# interpreter lock while curl runs, so it cannot be a thread of this process):
# prints its port, then the first request body it receives, and answers with a hash.
STAND_IN = r"""
import http.server, json, sys

class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        reply = json.dumps({"jsonrpc": "2.0", "id": 1, "result": "0x" + "ab" * 32}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
        print(body.decode(), flush=True)

    def log_message(self, *args):
        pass

server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.handle_request()
"""


def show_accounts(wallet: dict) -> None:
    for account in wallet["accounts"]:
        path = account["derivation_path"] or "-"
        print(f"    {account['chain_id']:<45} {path:<22} {account['address']}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rpc-url", help="send the signed transaction to this endpoint for real")
    args = parser.parse_args()

    print("Fresh mnemonics")
    print("  12 words:", qel.generate_mnemonic())
    print("  24 words:", qel.generate_mnemonic(24))

    with tempfile.TemporaryDirectory(prefix="qel-demo-") as vault:
        passphrase = "correct horse battery staple"
        print(f"\nThrowaway vault: {vault}")

        wallet = qel.create_wallet("demo", passphrase=passphrase, vault_path_opt=vault)
        print(f"\nCreated wallet {wallet['name']!r} ({wallet['id']}), created at {wallet['created_at']}:")
        show_accounts(wallet)

        print("\nWallets in the vault:")
        for w in qel.list_wallets(vault):
            print(f"  {w['name']:<10} {w['id']}  {len(w['accounts'])} accounts")

        phrase = qel.export_wallet("demo", passphrase=passphrase, vault_path_opt=vault)
        copy = qel.import_wallet_mnemonic("demo-copy", phrase, passphrase=passphrase, vault_path_opt=vault)
        same = [a["address"] for a in copy["accounts"]] == [a["address"] for a in wallet["accounts"]]
        print(f"\nExported the phrase and imported it as 'demo-copy': same six addresses: {same}")
        for chain, account in zip(FAMILIES, wallet["accounts"]):
            assert qel.derive_address(phrase, chain) == account["address"]
        print("derive_address agrees with every stored account.")

        print("\nMessage signatures of 'hello qel':")
        for chain in FAMILIES:
            sig = qel.sign_message("demo", chain, "hello qel", passphrase=passphrase, vault_path_opt=vault)
            rid = "-" if sig["recovery_id"] is None else sig["recovery_id"]
            print(f"  {chain:<9} recovery id {rid!s:<3} {sig['signature']}")

        sig = qel.sign_transaction("demo", "ethereum", UNSIGNED_1559, passphrase=passphrase, vault_path_opt=vault)
        print(f"\nEIP-1559 transaction signature (r || s || y-parity): {sig['signature']}")

        if args.rpc_url:
            sent = qel.sign_and_send("demo", "ethereum", UNSIGNED_1559, passphrase=passphrase,
                                     rpc_url=args.rpc_url, vault_path_opt=vault)
            print(f"Sent to {args.rpc_url}: transaction hash {sent['tx_hash']}")
        else:
            with subprocess.Popen([sys.executable, "-c", STAND_IN], stdout=subprocess.PIPE, text=True) as server:
                assert server.stdout is not None
                url = f"http://127.0.0.1:{int(server.stdout.readline())}"
                sent = qel.sign_and_send("demo", "ethereum", UNSIGNED_1559, passphrase=passphrase,
                                         rpc_url=url, vault_path_opt=vault)
                request = server.stdout.readline().strip()
            print("Broadcast request it would send (captured by a local stand-in endpoint):")
            print("  " + request)
            print(f"  stand-in reply's transaction hash: {sent['tx_hash']}")
            print("  (run with --rpc-url URL to send it for real)")


if __name__ == "__main__":
    main()
