// The page side of Pagewell's watches, run in Pagewell's own script world: it shares the page's document but none of
// its variables, so a page cannot see or disturb it. Evaluated again before each call; the first evaluation in a
// document defines it.
window.pagewellWatch = window.pagewellWatch || (function () {
    let since = 0, changed = 0, observer = null;
    // The element's text as a person sees it; an element that is not rendered has no inner text of its own.
    const shown = (element) => (element.innerText !== undefined ? element.innerText : element.textContent) || '';
    return {
        // What is watched once the document has been quiet for quietMs (a clock's tick, a late script filling in the
        // page) or boundMs have passed since the first call, whichever comes first; null until then. part: the text
        // of the first element the selector finds, null when none (or the selector is not one); text: the page's
        // visible text, when asked for.
        read(selector, wantText, quietMs, boundMs) {
            const now = performance.now();
            if (!observer) {
                since = changed = now;
                observer = new MutationObserver(() => { changed = performance.now(); });
                observer.observe(document, {subtree: true, childList: true, characterData: true});
            }
            if (now - changed < quietMs && now - since < boundMs)
                return null;
            observer.disconnect();
            observer = null;
            let part = null;
            if (selector) {
                try {
                    const element = document.querySelector(selector);
                    part = element ? shown(element) : null;
                } catch (notASelector) {
                    part = null;
                }
            }
            return {part: part, text: wantText && document.body ? shown(document.body) : ''};
        },
        // A selector that finds the element at this point of the view again after a reload: its id when the id is
        // the page's only one, else the tags and their places among siblings of the same tag, from the nearest
        // ancestor with such an id or from the body.
        selectorAt(x, y) {
            let element = document.elementFromPoint(x, y);
            const steps = [];
            for (; element && element !== document.body && element !== document.documentElement;
                 element = element.parentElement) {
                if (element.id && document.querySelectorAll('#' + CSS.escape(element.id)).length === 1) {
                    steps.unshift('#' + CSS.escape(element.id));
                    return steps.join(' > ');
                }
                let place = 1;
                for (let sibling = element.previousElementSibling; sibling; sibling = sibling.previousElementSibling)
                    place += sibling.localName === element.localName;
                steps.unshift(element.localName + ':nth-of-type(' + place + ')');
            }
            steps.unshift('body');
            return steps.join(' > ');
        },
    };
})();
