"""What the page's browser checks and its benchmark share: the page served on
127.0.0.1 and driven in headless Chromium through Selenium (Debian's
python3-selenium and chromium-driver)."""
import base64
import socket
import subprocess
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service


def b64url(data):
    return base64.urlsafe_b64encode(data).decode().rstrip('=')


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class PageBrowser:
    """SITE served by Python's http.server; headless Chromium that may play
    sound without a gesture and keeps the page's console messages."""

    def __init__(self, site, window_size='1200,1400'):
        self.port = free_port()
        self.server = subprocess.Popen([sys.executable, '-m', 'http.server', str(self.port),
                                        '--bind', '127.0.0.1'], cwd=site,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        options = webdriver.ChromeOptions()
        for arg in ('--headless=new', '--no-sandbox', '--autoplay-policy=no-user-gesture-required',
                    f'--window-size={window_size}'):
            options.add_argument(arg)
        options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
        self.service = Service('/usr/bin/chromedriver')
        self.driver = webdriver.Chrome(service=self.service, options=options)
        self.errors = []
        for _ in range(100):
            try:
                socket.create_connection(('127.0.0.1', self.port), 0.2).close()
                break
            except OSError:
                time.sleep(0.05)

    def open(self, query):
        self.collect_log()
        self.driver.get(f'http://127.0.0.1:{self.port}/?{query}')

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def wait_state(self, states, timeout):
        """Waits until the page's state is one of `states`; returns the state
        it has then."""
        end = time.time() + timeout
        while True:
            state = self.js('return window.tonewell ? window.tonewell.state() : "none"')
            if state in states or time.time() >= end:
                return state
            time.sleep(0.05)

    def collect_log(self):
        """Keeps the errors the page's console showed since the last call."""
        for entry in self.driver.get_log('browser'):
            if entry['level'] == 'SEVERE':
                self.errors.append(entry['message'])

    def close(self):
        self.collect_log()
        self.driver.quit()
        self.server.terminate()
        self.server.wait()
