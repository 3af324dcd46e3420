<ModelInfo>
	<Agents>
		<Agent name='court_pong'>
			<state><mesh>anon.obj</mesh></state>
			<state name='waiting'><mesh>plain.obj</mesh><rot x='0' y='45' z='0' /></state>
		</Agent>
	</Agents>
</ModelInfo>
